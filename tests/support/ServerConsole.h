/* What the traffic server writes on its console, each text in this one
 * place, so that a test compares a run's whole output. */
#ifndef TFX_TESTS_SUPPORT_SERVERCONSOLE_H
#define TFX_TESTS_SUPPORT_SERVERCONSOLE_H

#include <regex>
#include <string>

namespace tfxtest::console {

inline std::string Start(const std::string &element = "TestElement1")
{
    return "Service Element " + element + "\nOpening Service\n";
}
inline const std::string Waiting = "Waiting for message...\n";
inline const std::string Timeout = "Terminating due to timeout\n";
inline const std::string StopRequest = "Terminating due to applicaton manager request\n";
inline const std::string InterruptLine = "Interrupt received\n";
inline const std::string NormalPause = "\nTraffic Server Ended Normally, press ENTER to end\n";
inline const std::string AbnormalPause = "\nTraffic Client Ended Abnormally, press ENTER to end\n";

inline std::string Got(const std::string &kind, int length, const std::string &text)
{
    return "Got " + kind + " length " + std::to_string(length) + ": " + text;
}
inline std::string WaitTime(int ms)
{
    return "Wait Time = " + std::to_string(ms) + " (ms)\n";
}
inline std::string Elapsed(const std::string &ms)
{
    return "Elapsed time = " + ms + " (ms)\n";
}
inline std::string Elapsed(int ms)
{
    return Elapsed(std::to_string(ms));
}

/* What Masked makes of a time that a run measured. */
inline const std::string MaskedMs = "#";
inline const std::string MaskedTimes = "#/#/#";
inline const std::string MaskedFigure = "#.###";

/* The summary at the end of a run. */
struct Summary {
    int Transactions = 0;
    int Datagrams = 0;
    std::string ServiceTimes; /* "min/avg/max for n responses"; empty: no line */
    std::string Sizes = "999999/0/0/0";
    std::string Seconds = "0.000";
    std::string Rate = "0.000";

    std::string Text() const
    {
        std::string text = "\nTransactions = " + std::to_string(Transactions) +
                           ", Datagrams = " + std::to_string(Datagrams) +
                           ", Total = " + std::to_string(Transactions + Datagrams) + "\n";
        if (!ServiceTimes.empty())
            text += "Transaction service time (ms) min/avg/max = " + ServiceTimes + "\n";
        text += "Sent Data size (bytes) min/avg/max/total = " + Sizes + "\n";
        return text + "Elapsed Time = " + Seconds + " Seconds.  Transaction Rate = " + Rate +
               " Msg/sec\n";
    }
};

/* The output of a run on the real clock, with every measured time replaced
 * by its mask: service times, their summary, the elapsed time and the rate. */
inline std::string Masked(const std::string &output)
{
    std::string text = std::regex_replace(output, std::regex(R"(Elapsed time = \d+ \(ms\))"),
                                          "Elapsed time = " + MaskedMs + " (ms)");
    text = std::regex_replace(text, std::regex(R"(min/avg/max = \d+/\d+/\d+ for)"),
                              "min/avg/max = " + MaskedTimes + " for");
    return std::regex_replace(
        text, std::regex(R"(Elapsed Time = \d+\.\d{3} Seconds\.  Transaction Rate = \d+\.\d{3})"),
        "Elapsed Time = " + MaskedFigure + " Seconds.  Transaction Rate = " + MaskedFigure);
}

} // namespace tfxtest::console

#endif
