#include "binding/ClientRecords.h"

const QLXREQUEST DefaultRequest = {
    {'F', 'X', 'R', 'Q'}, 1, QLX_MSGTYPE_TRANSACTION, 0, 0, {}, 0, 0, nullptr,
};

const QLXREPLY DefaultReply = {
    {'F', 'X', 'R', 'P'}, 1, 0, 0, 0, 0, 0, {}, 0, 0, nullptr,
};

const QLXSTATS DefaultStats = {{'F', 'X', 'S', 'T'}, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
