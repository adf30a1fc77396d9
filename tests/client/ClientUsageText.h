/* The client's usage text, whole, as its tests expect it on standard error. */
#ifndef TFX_TESTS_CLIENT_CLIENTUSAGETEXT_H
#define TFX_TESTS_CLIENT_CLIENTUSAGETEXT_H

#include <string>

inline const std::string ClientUsageText =
    "Usage:\n\n"
    "    tfxclnt [-n count] [-d seconds] [-k connections] [-w window] [-r rate]\n"
    "            [-s size] [-g percent] [-m msg_id] [-t timeout] [-S seed]\n"
    "            [-W seconds] [-p percentiles] [-A conditions] [-o file] [-H file]\n"
    "            [-V] [-e size] [-v] [-P] [-q] [-x]\n"
    "            [-R start:stop[:step]] [-N runs]\n"
    "            [ServiceElement]\n"
    "    tfxclnt [-p percentiles] [-A conditions] [-o file] [-H file] -M result...\n"
    "    tfxclnt --help | --version\n"
    "    -n count           - messages to send after the warm-up (default 1000, no limit with -d)\n"
    "    -d seconds         - time to send for after the warm-up (default no limit)\n"
    "    -k connections     - connections to the service element (default 1)\n"
    "    -w window          - transactions outstanding per connection (default 1, 1024 with -r)\n"
    "    -r rate            - messages per second over all connections, datagrams included\n"
    "                         (default closed loop)\n"
    "    -R start:stop:step - sweep the rate up, -d seconds a step, until a step fails\n"
    "    -R start:stop      - search the highest rate that meets the conditions, within 2%\n"
    "    -N runs            - repeat the run (or each step) with fresh connections\n"
    "    -s size            - request data size in bytes, at most 1048576 (default 128)\n"
    "    -g percent         - share of datagrams among the messages (default 0)\n"
    "    -m msg_id          - message id sent with every message\n"
    "    -t timeout         - seconds before a transaction times out (default 5)\n"
    "    -S seed            - seed of the size generator (default from the clock)\n"
    "    -W seconds         - warm-up, reported apart from the figures (default 0)\n"
    "    -p percentiles     - latency percentiles to show (default 50,90,99,99.9)\n"
    "    -A conditions      - pass conditions, e.g. p99<5ms,timeouts=0,refused=0\n"
    "    -o file            - write the whole result as JSON\n"
    "    -H file            - write the latency histogram as HdrHistogram's text (us)\n"
    "    -V                 - verify every reply: tag, size, message id\n"
    "    -e size            - reply size of a server run with -s (implies -V)\n"
    "    -v                 - print every message and reply\n"
    "    -P                 - progress every second even when not on a terminal\n"
    "    -q                 - no progress lines\n"
    "    -x                 - send the stop request at the end (with -n 0 only that)\n"
    "    -M                 - merge the JSON results (-o) of runs made on several hosts\n\n"
    "    Default for ServiceElement is TestElement1\n\n"
    "    Size may be specified as:\n"
    "       n                         a constant value\n"
    "       min-max                   a pseudo-random size within the range\n\n"
    "    Counts and rates take k or M (10k, 1.5M); seconds take ms, s or m (2m).\n\n"
    "    A run under -r achieves at least 98% of its rate, unless -A has a\n"
    "    condition on tps or mps. A step of -R meets the conditions of -A;\n"
    "    without -A, it has no timeouts, no refusals, achieves at least 98% of\n"
    "    its rate, and its p99 is at most twice the p99 of the first step.\n";

#endif
