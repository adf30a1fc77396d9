/* The reader of the control plane's messages: any bytes, sealed with the
 * key or not, are read or refused, never an exception, abort or hang; what
 * is read as a plan, an interval or a result is read on without one. */
#include <cstdlib>
#include <string>

#include "client/agents/AgentPlan.h"
#include "client/agents/ControlMessage.h"
#include "client/results/ResultMerge.h"

static void Check(bool condition)
{
    if (!condition)
        abort();
}

/* Input: a first byte whose low bit says whether to seal the rest with the
 * key, then the JSON text of a message. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ControlKey key;
    key.Given = true;
    key.Bytes.fill(0x5a);
    if (size == 0)
        return 0;
    const std::string subject = "qlx.tfxclnt.agent.fuzz";
    std::string json(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string body =
        (data[0] & 1) != 0
            ? SealControlMessage(key, subject, ResultJson::parse(json, nullptr, false))
            : json;
    ControlMessage message;
    if (ReadControlMessage(key, subject, body.data(), body.size(), &message) !=
        ControlVerdict::Taken)
        return 0;
    Check(!message.Type.empty() && !message.From.empty());
    ClientSettings settings;
    uint64_t seed = 0;
    std::string error;
    if (message.Type == "plan" && ReadPlan(message.Body, &settings, &seed, &error) &&
        message.Agents >= 1 && message.Index < message.Agents)
        (void)AgentShare(settings, static_cast<uint32_t>(message.Agents),
                         static_cast<uint32_t>(message.Index));
    AgentInterval interval;
    if (message.Type == "interval")
        (void)ReadInterval(message.Body, &interval);
    if (message.Type == "result") {
        ClientSettings merged;
        auto result = std::make_unique<RunResult>();
        (void)MergeResultDocuments({message.Body}, {"fuzz"}, &merged, result.get(), &error);
    }
    Check(!Printable(message.Name + message.Text).empty() || (message.Name + message.Text).empty());
    return 0;
}
