/* The words a run's result goes by, the same on the console and in the JSON
 * document: how its sending ended, the signal that ended it, what a refusal
 * meant. */
#ifndef TFX_CLIENT_RUNVOCABULARY_H
#define TFX_CLIENT_RUNVOCABULARY_H

#include <cstdint>

#include "client/results/RunResult.h"

/* "count", "duration", "interrupt", "second interrupt", "silence",
 * "blocked", "service gone" or "failure". */
const char *EndReasonName(EndReason reason);

/* "SIGINT", "SIGTERM" or "SIGUSR1"; null for 0 or any other signal. */
const char *SignalName(int signal);

/* What a refusal's reason code means. */
const char *RefusalText(int32_t reason);

#endif
