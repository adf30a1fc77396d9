#include "binding/RecordPreparation.h"

#include <cstring>

static const int32_t WaitOneSecond = 1000;

void FillName(char field[QLX_NAME_LENGTH], const char *text)
{
    (void)strncpy(field, text != nullptr ? text : "", QLX_NAME_LENGTH);
}

void PrepareServiceAddress(QLXSERVICEADDRESS *address, const char *elementName)
{
    *address = DefaultServiceAddress;
    FillName(address->Name, elementName);
}

static int HasMsgId(const char msgId[24])
{
    return msgId[0] != '\0';
}

void PrepareGetOptions(QLXGETOPTIONS *options, const char *profile, const char msgId[24])
{
    *options = DefaultGetOptions;
    FillName(options->ProfileName, profile);
    options->Options = QLX_GMO_BASE;
    options->WaitInterval = WaitOneSecond;
    options->Options |= QLX_GMO_WAIT;
    options->Options |= QLX_GMO_STOPPABLE;
    if (!HasMsgId(msgId))
        return;
    memcpy(options->MsgId, msgId, QLX_MSGID_LENGTH);
    options->Options |= QLX_GMO_MSGID;
}

void PreparePutOptions(QLXPUTOPTIONS *options, const char *profile, const char msgId[24])
{
    *options = DefaultPutOptions;
    FillName(options->ProfileName, profile);
    if (!HasMsgId(msgId))
        return;
    memcpy(options->MsgId, msgId, QLX_MSGID_LENGTH);
    options->Options |= QLX_PMO_MSGID;
}

void PrepareAlert(QLXALERT *alert)
{
    *alert = DefaultAlertRecord;
    alert->AlertType = 0;
    alert->Text = "Notify Response Sent";
}
