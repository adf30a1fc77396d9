/* The mapping from element name to socket path: never outside the runtime
 * directory, never past the socket path limit, one file per name. */
#include <cstdlib>
#include <string>

#include "fuzz/FuzzInput.h"
#include "qlx/core/ElementName.h"
#include "qlx/zmq/Endpoint.h"

static void Check(bool condition)
{
    if (!condition)
        abort();
}

static bool IsHashedFile(const std::string &file)
{
    if (file.size() != 17 || file[0] != 'h')
        return false;
    return file.find_first_not_of("0123456789abcdef", 1) == std::string::npos;
}

static void CheckFile(const std::string &file, const std::string &name)
{
    Check(!file.empty() && file != "." && file != "..");
    Check(file.find('/') == std::string::npos);
    Check(file == name || IsHashedFile(file));
    Check(file.size() <= qlx::PlainNameLimit);
}

/* Input: a directory length (from a set of real prefixes), then the name. */
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input{data, size};
    std::string dir = "/tmp/qlx-fuzz" + std::string(input.TakeByte() % 100, 'd');
    std::string name = input.TakeBytes(132);

    qlx::Endpoint endpoint;
    bool mapped = qlx::MapNameInDirectory(dir, name.data(), name.size(), &endpoint);
    std::string plain = qlx::FileNameFor(name.data(), name.size());
    bool plainFits = dir.size() + 1 + plain.size() + 5 <= qlx::SocketPathLimit;
    bool hashedFits = dir.size() + 1 + 17 + 5 <= qlx::SocketPathLimit;
    Check(mapped == (plainFits || hashedFits));
    if (!mapped)
        return 0;
    const std::string prefix = dir + "/";
    Check(endpoint.SocketPath.compare(0, prefix.size(), prefix) == 0);
    Check(endpoint.SocketPath.size() <= qlx::SocketPathLimit);
    Check(endpoint.Address == "ipc://" + endpoint.SocketPath);
    std::string file = endpoint.SocketPath.substr(prefix.size());
    Check(file.size() > 5 && file.compare(file.size() - 5, 5, ".sock") == 0);
    file.resize(file.size() - 5);
    CheckFile(file, name);
    Check(endpoint.LockPath == prefix + file + ".lock");
    Check(file == (plainFits ? plain : qlx::HashedFileNameFor(name.data(), name.size())));
    return 0;
}
