// Token bench client: state file, private token copies and bounded runs of outside tools.
#include "token_bench.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

extern char** environ;

namespace vantor::tokenbench {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxToolOutput = 1 << 20;

// Closes a descriptor on every path.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

  private:
    int fd_;
};

// Frees the file actions of posix_spawn on every path.
class SpawnActions {
  public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

}  // namespace

std::string statePath() {
    if (const char* env = std::getenv("VANTOR_TOKEN_BENCH_STATE"); env != nullptr && *env != 0) {
        return env;
    }
    return VANTOR_TOKEN_BENCH_STATE_DEFAULT;
}

std::string TokenBenchState::get(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

CK_SLOT_ID TokenBenchState::slot(const std::string& key) const {
    return std::strtoul(get(key).c_str(), nullptr, 10);
}

std::vector<CK_BYTE> TokenBenchState::keyId() const {
    const std::string hex = get("key_id");
    std::vector<CK_BYTE> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<CK_BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::optional<TokenBenchState> readState(std::string* whyNot) {
    auto fail = [&](const std::string& why) -> std::optional<TokenBenchState> {
        if (whyNot != nullptr) {
            *whyNot = why;
        }
        return std::nullopt;
    };
    const std::string path = statePath();
    std::ifstream in(path);
    if (!in) {
        return fail("no state file " + path +
                    " (run through ctest, whose token_bench fixture prepares it)");
    }
    TokenBenchState state;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        state.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    for (const char* key : {"conf", "module", "token_dir"}) {
        if (state.get(key).empty() || !fs::exists(state.get(key))) {
            return fail(std::string("state file ") + path + ": " + key + " missing or gone");
        }
    }
    for (const char* key :
         {"token_slot", "spare_slot", "free_slot", "token_label", "user_pin", "so_pin", "key_id"}) {
        if (state.get(key).empty()) {
            return fail(std::string("state file ") + path + ": no " + key);
        }
    }
    return state;
}

ToolRun runTool(const std::vector<std::string>& argv, int timeoutMs) {
    ToolRun run;
    if (argv.empty()) {
        return run;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.output = "pipe failed";
        return run;
    }
    Fd readEnd(fds[0]), writeEnd(fds[1]);
    SpawnActions actions;
    if (!actions.ok() ||
        posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO) != 0 ||
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0) {
        run.output = "spawn set-up failed";
        return run;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0].c_str(), actions.get(), nullptr, args.data(), environ) != 0) {
        run.output = "cannot start " + argv[0];
        return run;
    }
    writeEnd.reset();

    // Read until the child closes its output or the time is up; then collect it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        if (run.output.size() < kMaxToolOutput) {
            run.output.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n),
                                                            kMaxToolOutput - run.output.size()));
        }
    }
    if (timedOut) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (timedOut) {
        run.output += "\n[killed after " + std::to_string(timeoutMs) + " ms]";
    }
    return run;
}

TokenCopy::TokenCopy(const TokenBenchState& state) {
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "vantor-tokens-XXXXXX").string();
    if (ec || ::mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot make a temporary directory";
        return;
    }
    dir_ = pattern;
    fs::copy(state.get("token_dir"), fs::path(dir_) / "tokens", fs::copy_options::recursive, ec);
    if (ec) {
        error_ = "cannot copy " + state.get("token_dir") + ": " + ec.message();
        return;
    }
    const std::string conf = dir_ + "/softhsm2.conf";
    std::ofstream out(conf);
    out << "# Private copy of the token bench for one test.\n"
        << "directories.tokendir = " << dir_ << "/tokens\n"
        << "objectstore.backend = file\n"
        << "log.level = ERROR\n"
        << "slots.removable = false\n";
    if (!out.flush()) {
        error_ = "cannot write " + conf;
        return;
    }
    conf_ = conf;
}

TokenCopy::~TokenCopy() {
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

void TokenCopy::activate() const {
    ::setenv("SOFTHSM2_CONF", conf_.c_str(), 1);
}

void TokenBenchTest::SetUp() {
    std::string why;
    state_ = readState(&why);
    if (!state_) {
        GTEST_SKIP() << "token bench not prepared: " << why;
    }
    if (const char* old = std::getenv("SOFTHSM2_CONF"); old != nullptr) {
        savedConf_ = old;
    }
    ASSERT_TRUE(resetTokens()) << copy_->error();
}

void TokenBenchTest::TearDown() {
    if (!state_) {
        return;
    }
    if (savedConf_) {
        ::setenv("SOFTHSM2_CONF", savedConf_->c_str(), 1);
    } else {
        ::unsetenv("SOFTHSM2_CONF");
    }
    copy_.reset();
}

bool TokenBenchTest::resetTokens() {
    copy_.reset();
    copy_ = std::make_unique<TokenCopy>(*state_);
    if (!copy_->ok()) {
        return false;
    }
    copy_->activate();
    return true;
}

ToolRun TokenBenchTest::pkcs11Tool(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {bench().get("pkcs11_tool"), "--module", bench().module()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runTool(argv);
}

}  // namespace vantor::tokenbench
