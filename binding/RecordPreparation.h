/* Start-up preparation of the service records from the run settings. */
#ifndef TFX_BINDING_RECORDPREPARATION_H
#define TFX_BINDING_RECORDPREPARATION_H

/* The default images the records start from, for every user of the binding. */
#include "binding/DefaultRecords.h"

/* Copies at most 132 bytes of text into a name field and fills the rest with
 * zero bytes; a text of 132 characters or more leaves no terminator. A null
 * text counts as the empty one. */
void FillName(char field[QLX_NAME_LENGTH], const char *text);

/* The service address for elementName, from the default image. */
void PrepareServiceAddress(QLXSERVICEADDRESS *address, const char *elementName);

/* The get options from the default image: the profile, Options 0x20148 and
 * a wait of 1000 ms; with a message id (first byte not zero) also its 24
 * bytes and 0x1. */
void PrepareGetOptions(QLXGETOPTIONS *options, const char *profile, const char msgId[24]);

/* The put options from the default image: the profile; with a message id
 * also its 24 bytes and 0x1. */
void PreparePutOptions(QLXPUTOPTIONS *options, const char *profile, const char msgId[24]);

/* The alert the server sends: type 0, text "Notify Response Sent". */
void PrepareAlert(QLXALERT *alert);

#endif
