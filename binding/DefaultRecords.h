/* The default images of the public records as C++ constants, for the
 * programs and their tests: made from the QLX_DEFAULT_* initializers of the
 * library's public header, which a C program uses directly. */
#ifndef TFX_BINDING_DEFAULTRECORDS_H
#define TFX_BINDING_DEFAULTRECORDS_H

#include "qlx/qlx.h"

inline constexpr QLXSERVICEADDRESS DefaultServiceAddress = QLX_DEFAULT_SERVICE_ADDRESS;
inline constexpr QLXMESSAGE DefaultMessageRecord = QLX_DEFAULT_MESSAGE;
inline constexpr QLXGETOPTIONS DefaultGetOptions = QLX_DEFAULT_GET_OPTIONS;
inline constexpr QLXPUTOPTIONS DefaultPutOptions = QLX_DEFAULT_PUT_OPTIONS;
inline constexpr QLXALERT DefaultAlertRecord = QLX_DEFAULT_ALERT;
inline constexpr QLXREQUEST DefaultRequest = QLX_DEFAULT_REQUEST;
inline constexpr QLXREPLY DefaultReply = QLX_DEFAULT_REPLY;
inline constexpr QLXSTATS DefaultStats = QLX_DEFAULT_STATS;

#endif
