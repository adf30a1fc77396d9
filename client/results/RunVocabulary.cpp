#include "client/results/RunVocabulary.h"

#include <csignal>

#include "qlx/ErrorRecord.h"

const char *EndReasonName(EndReason reason)
{
    switch (reason) {
    case EndReason::Count:
        return "count";
    case EndReason::Duration:
        return "duration";
    case EndReason::Interrupt:
        return "interrupt";
    case EndReason::SecondInterrupt:
        return "second interrupt";
    case EndReason::Silence:
        return "silence";
    case EndReason::Blocked:
        return "blocked";
    case EndReason::ServiceGone:
        return "service gone";
    case EndReason::Failure:
        return "failure";
    }
    return "failure";
}

const char *SignalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGUSR1:
        return "SIGUSR1";
    default:
        return nullptr;
    }
}

const char *RefusalText(int32_t reason)
{
    switch (reason) {
    case QLXRC_NO_RECEIVER:
        return "no receiver for the message id";
    case QLXRC_DATA_TOO_LARGE:
        return "data over the maximum size";
    case QLXRC_TOO_MANY_REQUESTS:
        return "too many transactions outstanding";
    case QLXRC_NO_MEMORY:
        return "no memory for the message";
    case QLXRC_NOT_SERVED:
        return "no live process serves the element";
    case QLXRC_CONNECTION_LOST:
        return "connection lost, outcome unknown";
    default:
        return "reason unknown to this client";
    }
}
