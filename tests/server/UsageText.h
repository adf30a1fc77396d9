/* The server's usage text, whole, as its tests expect it on standard error. */
#ifndef TFX_TESTS_SERVER_USAGETEXT_H
#define TFX_TESTS_SERVER_USAGETEXT_H

#include <string>
#include <vector>

/* The usage text as the server writes it: one write per entry. */
inline const std::vector<std::string> UsageLines{
    "Usage:\n\n",
    "    tfxsrvr [-a y|n] [-c rsps[:notifies]] [-q]\n",
    "            [-i interval] [-t timeout]\n",
    "            [-p]\n",
    "            [-m msg_id]\n",
    "            [ServiceElement] [Put Profile] [Get Profile]\n",
    "    -a y|n             - abort transaction and optionally send alert\n",
    "    -c rsps[:notifies] - number of normal and notify responses per request\n",
    "    -q                 - quiet mode\n",
    "    -i time            - interval before responding\n",
    "    -t timeout         - maximum time waiting for a message\n",
    "    -p                 - pauses before exit\n",
    "    -m msg_id          - used to wait for messages\n\n",
    "    Default for ServiceElement is TestElement1\n\n",
    "    Interval may be specified as:\n",
    "       n                         a constant value\n",
    "       start-end                 a pseudo-random pattern within the range\n",
};

/* The usage text whole. */
inline const std::string UsageText = [] {
    std::string text;
    for (const std::string &line : UsageLines)
        text += line;
    return text;
}();

/* What the usage path writes to standard output before it waits for ENTER. */
inline const std::string EnterPrompt = "\nTraffic Client Ended Normally, press ENTER to end\n";

#endif
