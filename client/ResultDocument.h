/* The result document that tfxclnt -o writes, as a JSON value, and the one
 * way to read one back: every reader of results takes it from here. */
#ifndef TFX_CLIENT_RESULTDOCUMENT_H
#define TFX_CLIENT_RESULTDOCUMENT_H

#include <string>

#include <nlohmann/json.hpp>

/* Members keep the order they were written in. */
using ResultJson = nlohmann::ordered_json;

/* The document as one line of JSON text and a newline. Bytes that are not
 * UTF-8 in its strings become U+FFFD, so the text is always valid JSON. */
std::string ResultDocumentText(const ResultJson &document);

/* Reads text as a result document: of a single run, of repeated runs
 * ("repeats") or of a sweep ("sweep"). False with *error saying why when it
 * is not JSON, or not a result written by tfxclnt. */
bool ParseResultDocument(const std::string &text, ResultJson *document, std::string *error);

#endif
