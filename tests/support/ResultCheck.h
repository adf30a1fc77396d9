/* A result that tfxclnt wrote, checked by the two other readers of the
 * format: the JSON Schema in docs/ (with Debian's python3-jsonschema) and
 * the reader of tfxplot and tfxcompare. */
#ifndef TFX_TESTS_SUPPORT_RESULTCHECK_H
#define TFX_TESTS_SUPPORT_RESULTCHECK_H

#include <string>

#include "tests/support/Subprocess.h"

namespace tfxtest {

/* What the schema or the reader finds wrong in the result at path; "" when
 * both take it. */
inline std::string ResultFaults(const std::string &path)
{
    const std::string source = TFX_SOURCE_DIR;
    ProcessResult run =
        RunProcess({"/usr/bin/python3", "-c",
                    "import json, sys, jsonschema\n"
                    "sys.path.insert(0, sys.argv[1] + '/plot')\n"
                    "import tfxresult\n"
                    "schema = json.load(open(sys.argv[1] + '/docs/result.schema.json'))\n"
                    "jsonschema.validate(json.load(open(sys.argv[2])), schema,\n"
                    "                    cls=jsonschema.Draft202012Validator)\n"
                    "tfxresult.read(sys.argv[2])\n",
                    source, path});
    return run.ExitCode == 0 ? "" : run.Stdout + run.Stderr;
}

} // namespace tfxtest

#endif
