// Card bench client: state file, cardsim processes, PC/SC waits and the APDU log reader. Every
// wait is bounded; every process it starts is ended by its pid.
#include "card_bench.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace vantor::bench {
namespace {

using Clock = std::chrono::steady_clock;

std::string mountNamespace() {
    char buf[128] = {};
    const ssize_t n = ::readlink("/proc/self/ns/mnt", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string processName(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

// RAII PC/SC context.
class Context {
  public:
    Context() {
        if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx_) != SCARD_S_SUCCESS) {
            ctx_ = 0;
        }
    }
    ~Context() {
        if (ctx_ != 0)
            SCardReleaseContext(ctx_);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    explicit operator bool() const { return ctx_ != 0; }
    SCARDCONTEXT get() const { return ctx_; }

  private:
    SCARDCONTEXT ctx_ = 0;
};

// Ends a process we started: SIGTERM, bounded wait, then SIGKILL.
bool endProcess(pid_t pid, int graceMs) {
    if (pid <= 0) {
        return true;
    }
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    while (Clock::now() < deadline) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
}

}  // namespace

std::string statePath() {
    if (const char* env = std::getenv("VANTOR_BENCH_STATE"); env != nullptr && *env != 0) {
        return env;
    }
    return VANTOR_BENCH_STATE_DEFAULT;
}

std::optional<BenchState> readState(std::string* whyNot) {
    auto fail = [&](const std::string& why) -> std::optional<BenchState> {
        if (whyNot)
            *whyNot = why;
        return std::nullopt;
    };
    const std::string path = statePath();
    std::ifstream f(path);
    if (!f) {
        return fail("no state file " + path +
                    " (run the tests inside tools/bench/in-bench.sh so that the card_bench "
                    "fixture starts the private pcscd)");
    }
    std::map<std::string, std::string> kv;
    for (std::string line; std::getline(f, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    BenchState s;
    try {
        s.port = std::stoi(kv["port"]);
        s.pid = static_cast<pid_t>(std::stol(kv["pid"]));
    } catch (const std::exception&) {
        return fail("state file " + path + " is incomplete");
    }
    s.dir = kv["dir"];
    s.pcscdLog = kv["log"];
    if (processName(s.pid) != "pcscd") {
        return fail("the bench pcscd (pid " + std::to_string(s.pid) + ") is not running");
    }
    // Outside the bench's mount namespace the clients would reach another pcscd (or none).
    if (kv["mntns"] != mountNamespace()) {
        return fail(
            "this test runs outside the bench's mount namespace (use "
            "tools/bench/in-bench.sh)");
    }
    return s;
}

std::string scenarioPath(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    return std::string(VANTOR_CARDSIM_SCENARIO_DIR) + "/" + name + ".card";
}

std::string cardsimPath() {
    return VANTOR_CARDSIM_PATH;
}

std::vector<std::string> listReaders() {
    Context ctx;
    if (!ctx) {
        return {};
    }
    DWORD length = 0;
    if (SCardListReadersA(ctx.get(), nullptr, nullptr, &length) != SCARD_S_SUCCESS || length == 0) {
        return {};
    }
    std::string buffer(length, '\0');
    if (SCardListReadersA(ctx.get(), nullptr, buffer.data(), &length) != SCARD_S_SUCCESS) {
        return {};
    }
    buffer.resize(std::min<std::size_t>(length, buffer.size()));
    std::vector<std::string> readers;
    // Walk the multi-string by its bytes: names end at each zero, the list at an empty name.
    std::size_t pos = 0;
    while (pos < buffer.size() && buffer[pos] != '\0') {
        const std::size_t end = buffer.find('\0', pos);
        if (end == std::string::npos)
            break;
        readers.push_back(buffer.substr(pos, end - pos));
        pos = end + 1;
    }
    return readers;
}

int readerIndexOf(const std::string& reader) {
    const auto readers = listReaders();
    for (std::size_t i = 0; i < readers.size(); ++i) {
        if (readers[i] == reader)
            return static_cast<int>(i) + 1;
    }
    return 0;
}

bool waitForCard(const std::string& reader, bool present, int timeoutMs) {
    Context ctx;
    if (!ctx) {
        return false;
    }
    SCARD_READERSTATEA rs{};
    rs.szReader = reader.c_str();
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const LONG rv = SCardGetStatusChangeA(
            ctx.get(), static_cast<DWORD>(std::max<long>(0, left.count())), &rs, 1);
        if (rv == SCARD_S_SUCCESS) {
            const bool hasCard = (rs.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (hasCard == present) {
                return true;
            }
            rs.dwCurrentState = rs.dwEventState & ~SCARD_STATE_CHANGED;
        } else if (rv != static_cast<LONG>(SCARD_E_TIMEOUT)) {
            // The reader may not be known yet; try again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            rs.dwCurrentState = SCARD_STATE_UNAWARE;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
}

LONG resetCardFromOtherApplication(const std::string& reader) {
    Context ctx;
    if (!ctx) {
        return SCARD_E_NO_SERVICE;
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    LONG rv = SCardConnectA(ctx.get(), reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx, &card,
                            &protocol);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    return SCardDisconnect(card, SCARD_RESET_CARD);
}

Bytes readerAtr(const std::string& reader) {
    Context ctx;
    if (!ctx) {
        return {};
    }
    SCARD_READERSTATEA rs{};
    rs.szReader = reader.c_str();
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChangeA(ctx.get(), 0, &rs, 1) != SCARD_S_SUCCESS ||
        (rs.dwEventState & SCARD_STATE_PRESENT) == 0) {
        return {};
    }
    return Bytes(rs.rgbAtr, rs.rgbAtr + std::min<DWORD>(rs.cbAtr, sizeof rs.rgbAtr));
}

std::string toHex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        if (v < 0)
            continue;  // spaces and separators
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

std::vector<Exchange> parseApduLog(const std::string& path, std::vector<std::string>* events) {
    std::vector<Exchange> out;
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);) {
        if (line.size() < 2)
            continue;
        const std::string rest = line.substr(2);
        switch (line[0]) {
            case '>':
                out.push_back({fromHex(rest), {}, std::nullopt});
                break;
            case '=':
                if (!out.empty())
                    out.back().plain = fromHex(rest);
                break;
            case '<':
                if (!out.empty())
                    out.back().response = fromHex(rest);
                break;
            case '#':
                if (events)
                    events->push_back(rest);
                break;
            default:
                break;
        }
    }
    return out;
}

CardBench::CardBench(BenchState state) : state_(std::move(state)) {}

CardBench::~CardBench() {
    for (int slot = 0; slot < 2; ++slot) {
        if (cards_[slot].pid > 0)
            removeCard(slot);
    }
}

std::string CardBench::readerName(int slot) {
    return "Virtual PCD 00 0" + std::to_string(slot);
}

bool CardBench::insertCard(const std::string& scenario, int slot,
                           const std::vector<std::string>& extraArgs, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (slot < 0 || slot > 1) {
        return fail("slot must be 0 or 1");
    }
    if (cards_[slot].pid > 0) {
        removeCard(slot);
    }
    Slot& s = cards_[slot];
    s.log = state_.dir + "/card" + std::to_string(slot) + "-" + std::to_string(::getpid()) + "-" +
            std::to_string(++counter_) + ".log";
    std::vector<std::string> args = {cardsimPath(),
                                     "--port",
                                     std::to_string(state_.port + slot),
                                     "--scenario",
                                     scenarioPath(scenario),
                                     "--log",
                                     s.log,
                                     "--connect-timeout",
                                     "5000"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // cardsim's own output goes beside its log, not to the test's pipes: a test that crashes
    // leaves its card running until the bench stops, and CTest would otherwise wait for that
    // card to close the pipe instead of reporting the crash at once.
    const std::string output = s.log + ".out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return fail("cannot start " + cardsimPath());
    }
    s.pid = pid;
    // Wait for the reader to see the card, watching for cardsim giving up (bad scenario).
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (waitForCard(readerName(slot), true, 200)) {
            return true;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            s.pid = 0;
            std::ifstream said(output);
            const std::string text((std::istreambuf_iterator<char>(said)),
                                   std::istreambuf_iterator<char>());
            return fail("cardsim ended before the card was seen (status " + std::to_string(status) +
                        "): " + text);
        }
    }
    endProcess(pid, 2000);
    s.pid = 0;
    return fail("the card did not appear in " + readerName(slot) + " within 10 s");
}

bool CardBench::cardRunning(int slot) {
    Slot& s = cards_[slot];
    if (s.pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(s.pid, &status, WNOHANG) == s.pid) {
        s.pid = 0;
        return false;
    }
    return true;
}

bool CardBench::adoptCard(int slot, const std::string& log) {
    if (slot < 0 || slot > 1 || !waitForCard(readerName(slot), true, 2000)) {
        return false;
    }
    if (cards_[slot].pid > 0) {
        removeCard(slot);
    }
    cards_[slot] = Slot{0, log};
    return true;
}

bool CardBench::removeCard(int slot) {
    Slot& s = cards_[slot];
    const bool ended = endProcess(s.pid, 3000);
    s.pid = 0;
    return ended && waitForCard(readerName(slot), false, 5000);
}

std::vector<Exchange> CardBench::exchanges(int slot) const {
    return parseApduLog(cards_[slot].log);
}

std::vector<std::string> CardBench::events(int slot) const {
    std::vector<std::string> ev;
    parseApduLog(cards_[slot].log, &ev);
    return ev;
}

void CardBenchTest::SetUp() {
    std::string why;
    auto state = readState(&why);
    if (!state) {
        GTEST_SKIP() << "card bench not running: " << why;
    }
    bench_ = std::make_unique<CardBench>(*state);
}

}  // namespace vantor::bench
