/* A fixture that captures trace records in memory and puts every piece of
 * trace state back afterwards: the facility, the unit tfxanutl, the test's own
 * unit and the trace environment variables. */
#ifndef TFX_TESTS_TRACE_TRACECAPTURE_H
#define TFX_TESTS_TRACE_TRACECAPTURE_H

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "trace/TraceControl.h"
#include "trace/TfxanutlTrace.h"

namespace tfxtest {

/* A unit of the tests' own, component "TST". */
extern TraceUnit TestTrace;

/* The start image of a unit's trace state. */
inline void RestartUnit(TraceUnit &unit)
{
    unit.Generation = 1;
    unit.LocalCtrl = TRC1_CTRL_RELOAD;
    unit.Current = {};
}

/* An address as "%p" writes it. */
inline std::string Address(const void *pointer)
{
    std::ostringstream text;
    text << "0x" << std::hex << reinterpret_cast<uintptr_t>(pointer);
    return text.str();
}

class TraceCapture : public testing::Test {
  protected:
    void SetUp() override
    {
        for (const char *name : {"QLX_TRACE", "QLX_TRACE_FILE"}) {
            const char *value = getenv(name);
            saved_.push_back(
                {name, value != nullptr ? std::optional<std::string>(value) : std::nullopt});
            (void)unsetenv(name);
        }
        Restart();
        qlxSetTraceSink(&Collect, &Records);
    }

    void TearDown() override
    {
        Restart();
        for (const auto &[name, value] : saved_) {
            if (value)
                (void)setenv(name.c_str(), value->c_str(), 1);
            else
                (void)unsetenv(name.c_str());
        }
    }

    /* The records captured so far, each one line without its end. */
    std::vector<std::string> Records;

  private:
    static void Restart()
    {
        qlxResetTrace();
        RestartUnit(TfxanutlTrace);
        RestartUnit(TestTrace);
    }

    static void Collect(void *context, const char *record)
    {
        static_cast<std::vector<std::string> *>(context)->push_back(record);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

template <typename Param>
class TraceCaptureWithParam : public TraceCapture, public testing::WithParamInterface<Param> {
};

} // namespace tfxtest

#endif
