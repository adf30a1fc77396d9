#include "binding/ServiceRecords.h"

const QLXSERVICEADDRESS DefaultServiceAddress = {{'F', 'X', 'A', 'D'}, 3, {}, {}};

const QLXMESSAGE DefaultMessageRecord = {
    {'F', 'X', 'M', 'D'}, 3, 0, {-2, -2, -2, -2, -2, -2, -2}, {}, 0, {0, 0, nullptr}, {}, -1, {},
};

const QLXGETOPTIONS DefaultGetOptions = {
    {'F', 'X', 'G', 'O'}, 3, 0x40000000u, -2, {}, {}, {}, {}, {}, 0, {},
};

const QLXPUTOPTIONS DefaultPutOptions = {
    {'F', 'X', 'P', 'O'}, 3, QLX_PMO_DEFAULT, {}, {}, {}, {}, {}, 0x00200000u, {},
};

const QLXALERT DefaultAlertRecord = {{'L', 'X', 'L', 'D'}, 1, 0, 4, nullptr, {0, 0, 0, 0}};
