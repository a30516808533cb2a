// volstress-cli run as a program on image files: options, exit codes, reports and the log.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "cli/metrics_server.h"
#include "cli/options.h"
#include "cli/report_output.h"
#include "engine/records.h"
#include "platform/io_queue.h"
#include "stats/log_reader.h"
#include "stats/log_stream.h"
#include "tests/test_support.h"

extern char** environ;

using testing_support::TempDir;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs volstress-cli with args; stdout and stderr go to files in dir (stdout to stdoutFd when given).
// signalAfterMs > 0 sends `sig` then.
Result RunCli(const TempDir& dir, std::vector<std::string> args, int signalAfterMs = 0, int sig = SIGINT,
              int stdoutFd = -1) {
    const std::string out = (dir.path() / "stdout").string(), err = (dir.path() / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), VOLSTRESS_CLI);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Result r;
    if (posix_spawn(&pid, VOLSTRESS_CLI, &actions, nullptr, argv.data(), environ) != 0) return r;
    posix_spawn_file_actions_destroy(&actions);
    if (signalAfterMs > 0) {
        usleep(static_cast<useconds_t>(signalAfterMs) * 1000);
        kill(pid, sig);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
}

// Just enough of a JSON reader to prove the document is well formed.
struct JsonChecker {
    const std::string& s;
    size_t i = 0;
    void Ws() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    }
    bool Lit(const char* w) {
        const size_t n = std::strlen(w);
        if (s.compare(i, n, w) != 0) return false;
        i += n;
        return true;
    }
    bool String() {
        if (s[i] != '"') return false;
        for (++i; i < s.size(); ++i) {
            if (s[i] == '\\')
                ++i;
            else if (s[i] == '"')
                return ++i, true;
        }
        return false;
    }
    bool Number() {
        const size_t start = i;
        while (i < s.size() && std::strchr("+-0123456789.eE", s[i])) ++i;
        return i > start;
    }
    bool Value() {
        Ws();
        if (i >= s.size()) return false;
        bool ok;
        if (s[i] == '{')
            ok = Compound('}', true);
        else if (s[i] == '[')
            ok = Compound(']', false);
        else if (s[i] == '"')
            ok = String();
        else
            ok = Lit("true") || Lit("false") || Lit("null") || Number();
        Ws();
        return ok;
    }
    bool Compound(char close, bool object) {
        ++i;
        Ws();
        if (s[i] == close) return ++i, true;
        for (;;) {
            if (object) {
                Ws();
                if (!String()) return false;
                Ws();
                if (s[i++] != ':') return false;
            }
            if (!Value()) return false;
            if (s[i] == ',') {
                ++i;
                continue;
            }
            if (s[i] == close) return ++i, true;
            return false;
        }
    }
    bool Document() { return Value() && i == s.size(); }
};

int64_t AllIoCount(const std::string& json) {
    const size_t all = json.find("\"all\": {");
    const std::string key = "\"io_count\": ";
    const size_t at = all == std::string::npos ? all : json.find(key, all);
    return at == std::string::npos ? -1 : std::stoll(json.substr(at + key.size()));
}

}  // namespace

TEST(Cli, HelpVersionAndUsageMistakes) {
    TempDir dir;
    Result r = RunCli(dir, {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: volstress-cli"), std::string::npos);
    // One option a line, no more, beside the usage, the commands and the exit statuses.
    EXPECT_LT(std::count(r.out.begin(), r.out.end(), '\n'),
              static_cast<long>(cli::OptionTable().size()) + 20);
    r = RunCli(dir, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("volstress-cli ", 0), 0u);

    const std::string img = dir.MakeImage("t.img", 1 << 20);
    const std::pair<std::vector<std::string>, std::string> mistakes[] = {
        {{"--block-size", "4k", "T=" + img},
         "--block-size: '4k' is not a valid integer value for the block size"},
        {{"--threads=x", "T=" + img}, "--threads: 'x' is not a valid integer value for the thread count"},
        {{"--seconds", "-2", "T=" + img}, "--seconds: '-2' is not allowed"},
        {{"--method", "zigzag", "T=" + img},
         "--method: 'zigzag' is not random, butterfly, forward or backward"},
        {{"--pause", "-1", "T=" + img}, "--pause: '-1' is not allowed for the pause between portions"},
        {{"--seconds", "3600", "--period", "1", "T=" + img}, "--period: '1' is not allowed"},
        {{"--frobnicate", "T=" + img}, "unknown option --frobnicate"},
        {{"T=" + img, "T:"}, "volume T: is given twice"},
        {{"--minutes", "1", "--seconds", "5", "T=" + img},
         "--minutes and --seconds cannot be given together"},
        {{}, "no volume given"},
        {{"--create", "lots", "T=" + img}, "--create: 'lots' is not a size"},
        {{"--threads", "2000", "T=" + img},
         "--threads: '2000' asks for 2000 workers in all; the limit is 1024"},
        {{"--register-buffers", "T=" + img},
         "--register-buffers applies to queued operations (io_uring): give --queue-depth 2 or more"}};
    for (const auto& [args, message] : mistakes) {
        r = RunCli(dir, args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST(Cli, WritesNeedDestroyDataAndTheImageIsUntouchedWithout) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20, 0x5A);
    Result r = RunCli(dir, {"--seconds", "1", "--writes", "1", "T=" + img});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("refusing to write: this test destroys the data on T: (" + img + ")"),
              std::string::npos)
        << r.err;
    // Said any other way, "no" is refused, never read as yes; nor is a value that is empty.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--destroy-data=no", "--writes", "1"},
          std::vector<std::string>{"--destroy-data=false", "--writes=1"},
          std::vector<std::string>{"--destroy-data", "--writes", "1", "--log="},
          std::vector<std::string>{"--destroy-data", "--writes", "1", "--json", ""}}) {
        std::vector<std::string> full = {"--seconds", "1"};
        full.insert(full.end(), args.begin(), args.end());
        full.push_back("T=" + img);
        r = RunCli(dir, full);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_TRUE(r.err.find("takes no value") != std::string::npos ||
                    r.err.find("needs a value") != std::string::npos)
            << r.err;
    }
    const std::string before = Slurp(img);
    EXPECT_EQ(before, std::string(1 << 20, 0x5A));

    r = RunCli(dir, {"--seconds", "1", "--reads", "0", "--writes", "1", "--destroy-data", "--method",
                     "forward", "T=" + img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(img).substr(0, 4096), std::string(4096, '\0'));  // block 0 gets zeros

    // Preconditioning writes the whole image exactly the passes asked, before a run that only reads.
    const std::string fresh = dir.MakeImage("p.img", 1 << 20, 0x5A);
    r = RunCli(dir, {"--seconds", "1", "--precondition", "2", "--destroy-data", "--json", "-", "P=" + fresh});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["precondition"]["passes"], 2);
    EXPECT_EQ(doc["precondition"]["volumes"][0]["bytes_written"], 2 << 20);
    EXPECT_EQ(doc["volumes"][0]["totals"]["writes"], 0);
    EXPECT_GT(doc["volumes"][0]["totals"]["io_count"].get<int64_t>(), 0);
    EXPECT_EQ(Slurp(fresh).find(std::string(4096, 0x5A)), std::string::npos);
    EXPECT_NE(r.err.find("Preconditioned: every volume written 2 times over"), std::string::npos) << r.err;

    // Ctrl-C while preconditioning ends the program there: no test run, no results file, exit 130.
    const std::string results = (dir.path() / "r.json").string();
    r = RunCli(dir,
               {"--seconds", "1", "--precondition", "100", "--destroy-data", "--json", results,
                "P=" + dir.MakeImage("big.img", 256 << 20)},
               800);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted while preconditioning: no test was run"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(results));
}

TEST(Cli, RunWritesJsonAndLogThatAgreeAndLog2CsvRoundTrips) {
    TempDir dir;
    const std::string c = (dir.path() / "c.img").string(), d = (dir.path() / "d.img").string();
    const std::string json = (dir.path() / "r.json").string(), log = (dir.path() / "ops.dat").string();
    Result r = RunCli(dir, {"--seconds", "2", "--create", "8M", "--threads", "2", "--json", json, "--log",
                            log, "C=" + c, "D=" + d});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(c), 8u << 20);
    EXPECT_NE(r.out.find("Totals cover every operation of the run."), std::string::npos);
    EXPECT_NE(r.out.find("within 0.8% of the exact values"), std::string::npos);
    EXPECT_NE(r.out.find("All volumes"), std::string::npos);
    EXPECT_NE(r.out.find("I/O per sec "), std::string::npos);
    const std::string doc = Slurp(json);
    JsonChecker check{doc};
    EXPECT_TRUE(check.Document()) << "malformed at " << check.i;
    EXPECT_EQ(nlohmann::json::parse(doc)["schema_version"], 3);
    EXPECT_EQ(doc.find("e+"), std::string::npos);  // numbers keep their digits
    EXPECT_NE(doc.find("\"device\": \"" + c + "\""), std::string::npos);
    const auto records = std::filesystem::file_size(log) / sizeof(engine::LogEntry);
    ASSERT_GT(records, 0u);
    EXPECT_EQ(AllIoCount(doc), static_cast<int64_t>(records));

    r = RunCli(dir, {"log2csv", log});
    ASSERT_EQ(r.status, 0);
    std::istringstream csv(r.out);
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "slot,volume,request_size,success,start_ticks,end_ticks,frequency,latency_us");
    std::ifstream raw(log, std::ios::binary);
    engine::LogEntry e;
    size_t rows = 0;
    while (std::getline(csv, line)) {
        ASSERT_TRUE(raw.read(reinterpret_cast<char*>(&e), sizeof e));
        ++rows;
        std::ostringstream expect;
        expect << rows << ',' << static_cast<char>('A' + e.VolumeIndex) << ",4096,1," << e.StartTicks << ','
               << e.EndTicks << ',' << e.Frequency << ',';
        ASSERT_EQ(line.rfind(expect.str(), 0), 0u) << line;
    }
    EXPECT_EQ(rows, records);

    std::ofstream(dir.path() / "odd.dat") << "not a log";
    r = RunCli(dir, {"log2csv", (dir.path() / "odd.dat").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not a multiple of 32 bytes"), std::string::npos);
}

TEST(Cli, ExitStatusTellsFailedOperationsAndUnopenableVolumes) {
    TempDir dir;
    // The image shrinks under the run: reads past its new end move nothing and are failures, not blocks.
    const std::string img = dir.MakeImage("t.img", 4 << 20);
    std::thread shrink([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::filesystem::resize_file(img, 0);
    });
    Result r = RunCli(dir, {"--seconds", "2", "--method", "forward", "T=" + img});
    shrink.join();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out.find("Errors total 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SHORT Short transfer: fewer bytes than requested: "), std::string::npos) << r.out;

    r = RunCli(dir, {"--seconds", "1", "T=" + (dir.path() / "missing.img").string()});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(
        r.err.find("Cannot open " + (dir.path() / "missing.img").string() + " for read: Error Code = 2 "),
        std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);  // said once

    // A volume that opens but cannot be tested says why, never "Error Code = 0 Success".
    const std::pair<std::string, std::string> unusable[] = {
        {dir.MakeImage("empty.img", 0), "is an empty image file (0 bytes)"},
        {dir.path().string(), "is a directory"},
        {"/dev/null", "is a character device"}};
    for (const auto& [path, why] : unusable) {
        r = RunCli(dir, {"--seconds", "1", "T=" + path});
        EXPECT_EQ(r.status, 3) << path;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
    }
}

TEST(Cli, AClaimedDeviceEndsTheRunAtOnceWithTheReasonAndTheResults) {
    TempDir dir;
    testing_support::LoopDevice loop(dir.MakeImage("loop.img", 8 << 20));
    if (loop.path.empty()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
    // Held exclusively elsewhere, as a mounted file system holds its device.
    const int holder = ::open(loop.path.c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(holder, 0);
    const std::string json = (dir.path() / "r.json").string();
    const std::string other = dir.MakeImage("n.img", 1 << 20);
    const auto start = std::chrono::steady_clock::now();
    const Result r = RunCli(dir, {"--seconds", "30", "--threads", "3", "--writes", "1", "--destroy-data",
                                  "--json", json, "M=" + loop.path, "N=" + other});
    ::close(holder);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(r.status, 3) << r.err;
    const std::string line = "Cannot open " + loop.path + " for write:  Error Code = 16 ";
    const size_t first = r.err.find(line);
    EXPECT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(line, first + 1), std::string::npos) << r.err;  // once, not once per worker
    EXPECT_NE(r.out.find("Not tested: System error Cannot open " + loop.path), std::string::npos) << r.out;
    const std::string doc = Slurp(json);
    JsonChecker check{doc};
    EXPECT_TRUE(check.Document());
    const nlohmann::json failure = nlohmann::json::parse(doc)["open_failures"][0];
    EXPECT_EQ(failure["kind"], "open");
    EXPECT_EQ(failure["code"], EBUSY);
    EXPECT_EQ(failure["text"].get<std::string>().rfind("System error Cannot open " + loop.path, 0), 0u);
}

TEST(Cli, SettingsThatCannotWorkAreRefusedBeforeTheRun) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20, 0x5A), other = dir.MakeImage("u.img", 1 << 20);
    std::filesystem::create_symlink(img, dir.path() / "alias.img");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--threads", "0", "T=" + img}, "--threads: '0' is not allowed"},
        {{"--reads", "0", "--writes", "0", "T=" + img}, "a portion must hold at least one read or write"},
        {{"--minutes", "-1", "T=" + img}, "--minutes: '-1' is not allowed"},
        {{"--block-size", "4194304", "T=" + img}, "it is larger than T: (" + img + ")"},
        {{"--writes", "1", "--destroy-data", "C"}, "refusing to write to C: by its letter alone"},
        {{"T=" + img, "U=" + (dir.path() / "alias.img").string()},
         "U: (" + (dir.path() / "alias.img").string() + ") name the same device or file"},
        {{"--json", (dir.path() / "no" / "r.json").string(), "T=" + img}, "--json: cannot write"},
        {{"--log", dir.path().string(), "T=" + img}, "--log: cannot write"},
        {{"--steady-state", "fast", "T=" + img}, "--steady-state: 'fast' is not iops, mbps or p99"},
        {{"--round", "10", "T=" + img}, "--round is the length of a --steady-state round"},
        {{"--steady-state", "iops", "--round", "2", "--seconds", "6", "T=" + img},
         "--steady-state judges 5 to 25 rounds of --round 2 s, and --seconds 6 holds 3"},
        {{"--steady-state", "p99", "--round", "3", "--period", "2", "T=" + img},
         "--round 3: a round must hold at least two statistics intervals (2 s each)"},
        {{"--steady-state", "iops", "--live-interval", "2", "T=" + img}, "the intervals are the rounds"},
        {{"--cliff-fall", "0.3", "T=" + img}, "--cliff-fall: only a run with writes is watched for cliffs"},
        {{"--precondition", "1", "T=" + img}, "refusing to write: this test destroys the data on T: (" + img},
        {{"--precondition", "1", "--destroy-data", "C"}, "refusing to write to C: by its letter alone"},
        {{"--precondition", "0", "--destroy-data", "T=" + img},
         "--precondition: '0' is not a number of passes from 1 to 100"},
        {{"--latency-target", "p99=2", "T=" + img}, "--latency-target: 'p99=2' has no time as its bound"},
        {{"--rate", "0", "T=" + img}, "--rate: '0' is not a number from 0.001 to 1e+08"},
        {{"--rate", "fast", "T=" + img}, "--rate: 'fast' is not a number"},
        {{"--arrival", "poisson", "T=" + img}, "--arrival is the schedule of --rate"},
        {{"--rate", "10", "--latency-target", "p99=2ms", "T=" + img},
         "--rate 10 with --latency-target p99: the rate is the highest the search tries, and a step of 10 s "
         "holds the 1000 operations p99 needs only from 100 a second per volume"},
        {{"--latency-target", "p99=2ms", "--log", (dir.path() / "ops.dat").string(), "T=" + img},
         "--log with --latency-target: each step of the search is a run of its own"},
        {{"--cliff-rise", "1", "--writes", "1", "--destroy-data", "T=" + img},
         "--cliff-rise: '1' is not a number from 1.01 to 1e+06"}};
    for (const auto& [args, message] : refused) {
        const auto start = std::chrono::steady_clock::now();
        const Result r = RunCli(dir, args);
        EXPECT_TRUE(r.status == 2 || r.status == 4) << message << ": " << r.status;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Totals"), std::string::npos) << message;  // no run took place
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    // Uncached transfers on this file system need whole sectors, when it has them.
    const Result r = RunCli(dir, {"--seconds", "1", "--block-size", "1000", "T=" + other});
    if (r.status == 2)
        EXPECT_NE(r.err.find("it must be a multiple of"), std::string::npos) << r.err;
    else
        EXPECT_EQ(r.status, 0) << r.err;  // a file system without direct I/O takes any size
    EXPECT_EQ(Slurp(img), std::string(1 << 20, 0x5A));
}

TEST(Cli, OutputFilesNeverDestroyWhatIsAtTheirPath) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20);
    // A failed write is reported and exits 4; the device stays a device.
    Result r = RunCli(dir, {"--seconds", "1", "--log", "/dev/full", "T=" + img});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("--log: cannot write /dev/full: Error Code = 28 "), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    r = RunCli(dir, {"--seconds", "1", "--json", "/dev/full", "T=" + img});
    EXPECT_EQ(r.status, 4) << r.err;

    // A link is followed and keeps being a link; the old result stays until the new one is whole.
    const auto target = dir.path() / "results.json", link = dir.path() / "latest.json";
    std::ofstream(target) << "{}";
    std::filesystem::create_symlink(target, link);
    r = RunCli(dir, {"--seconds", "1", "--json", link.string(), "T=" + img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    const std::string doc = Slurp(target.string());
    JsonChecker check{doc};
    EXPECT_TRUE(check.Document());

    // --json - puts the JSON alone on standard output; the text report goes to standard error.
    r = RunCli(dir, {"--seconds", "1", "--json", "-", "T=" + img});
    EXPECT_EQ(r.status, 0) << r.err;
    JsonChecker only{r.out};
    EXPECT_TRUE(only.Document()) << r.out.substr(0, 200);
    EXPECT_NE(r.err.find("I/O total "), std::string::npos);
    EXPECT_NE(r.out.find("\"log_complete\": true"), std::string::npos);

    // An image whose creation is interrupted leaves nothing behind.
    const std::string big = (dir.path() / "big.img").string();
    r = RunCli(dir, {"--seconds", "1", "--create", "64G", "T=" + big}, 300);
    EXPECT_EQ(r.status, 130) << r.err;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().rfind("big.img", 0), std::string::npos) << e.path();
}

// Whatever the spelling, no output lands on a volume of the run or on another output, and no input is read
// twice or replaced by the results read from it: refused before anything is opened, nothing changed on disk.
TEST(Cli, NoOutputLandsOnAVolumeOrAnotherOutputOrAnInput) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20, 0x5A), other = (dir.path() / "other").string();
    std::filesystem::create_symlink(img, dir.path() / "link.img");
    std::ofstream(other) << "kept";
    const std::string viaLink = (dir.path() / "link.img").string(),
                      dotted = (dir.path() / "." / "t.img").string();
    const std::string fresh = (dir.path() / "new.img").string(),
                      fresh2 = (dir.path() / "." / "new.img").string();
    testing_support::LoopDevice loop(dir.MakeImage("loop.img", 1 << 20, 0x5A));
    std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--log", img, "T=" + img}, "--log " + img + " is the volume T: (" + img + ") of this run"},
        {{"--json", viaLink, "T=" + img}, "--json " + viaLink + " is the volume T:"},
        {{"--json", dotted, "--writes", "1", "--destroy-data", "T=" + viaLink}, "is the volume T:"},
        {{"--json", other, "--log", other, "T=" + img},
         "--json " + other + " and --log " + other + " are the same file"},
        {{"--create", "1M", "T=" + fresh, "U=" + fresh2}, "name the same device or file"},
        {{"--create", "1M", "--log", fresh2, "T=" + fresh}, "is the volume T: (" + fresh + ")"}};
    if (!loop.path.empty())
        refused.push_back(
            {{"--log", (dir.path() / "loop.img").string(), "M=" + loop.path}, "is the volume M:"});
    for (const auto& [args, message] : refused) {
        std::vector<std::string> full = {"--seconds", "1"};
        full.insert(full.end(), args.begin(), args.end());
        const Result r = RunCli(dir, full);
        EXPECT_EQ(r.status, 2) << message << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    EXPECT_EQ(Slurp(img), std::string(1 << 20, 0x5A));
    EXPECT_EQ(Slurp((dir.path() / "loop.img").string()), std::string(1 << 20, 0x5A));
    EXPECT_EQ(Slurp(other), "kept");
    EXPECT_FALSE(std::filesystem::exists(fresh));

    // The tools that read results: a file given twice, or the output named as an input. A volume's name that
    // is not UTF-8 is still read back by merge.
    const std::string json = (dir.path() / "r.json").string(), log = (dir.path() / "ops.dat").string();
    const std::string odd = dir.MakeImage("t\xFF.img", 1 << 20);
    ASSERT_EQ(RunCli(dir, {"--seconds", "1", "--json", json, "--log", log, "T=" + odd}).status, 0);
    const std::string results = Slurp(json), ops = Slurp(log);
    Result r = RunCli(dir, {"merge", json});
    EXPECT_EQ(r.status, 0) << r.err;
    r = RunCli(dir, {"merge", json, (dir.path() / "." / "r.json").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("are the same file: each would be counted twice"), std::string::npos) << r.err;
    r = RunCli(dir, {"merge", json, "--json", json});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the results would replace what they are read from"), std::string::npos) << r.err;
    r = RunCli(dir, {"analyze", log, "--json", log});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Slurp(json), results);
    EXPECT_EQ(Slurp(log), ops);
}

// One writer per image: while a run writes a volume, another run may neither write it nor read it (its reads
// would see the writes as corruption); two runs that only read go together.
TEST(Cli, ARunThatWritesAVolumeHoldsItAgainstOtherRuns) {
    TempDir first, second;
    const std::string img = first.MakeImage("t.img", 4 << 20);
    Result writer;
    std::thread run([&] {
        writer = RunCli(first, {"--seconds", "3", "--reads", "1", "--writes", "1", "--verify",
                                "--destroy-data", "--json", (first.path() / "r.json").string(), "T=" + img});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--seconds", "1", "--writes", "1", "--destroy-data", "T=" + img},
          std::vector<std::string>{"--seconds", "1", "U=" + img}}) {
        const Result r = RunCli(second, args);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_NE(r.err.find(": (" + img + "): another run holds it, process "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("(volstress-cli)"), std::string::npos) << r.err;
    }
    run.join();
    EXPECT_EQ(writer.status, 0) << writer.err;  // nothing of the refused runs reached the image
    EXPECT_NE(Slurp((first.path() / "r.json").string()).find("\"mismatches\": 0,"), std::string::npos);

    Result reader;
    std::thread read([&] { reader = RunCli(first, {"--seconds", "2", "T=" + img}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(RunCli(second, {"--seconds", "1", "U=" + img}).status, 0);
    read.join();
    EXPECT_EQ(reader.status, 0) << reader.err;
}

// Every signal has an outcome the operator can rely on: a reader that went away fails that output only, a
// hang-up or termination request ends the run as Ctrl-C does with its results, no temporary file outlives a
// signal, and Ctrl-C ends the read-back after the run as it ends the run.
TEST(Cli, SignalsEndRunsWithTheirResultsAndLeaveNoTemporaryFile) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 4 << 20);
    const std::string json = (dir.path() / "r.json").string(), log = (dir.path() / "ops.dat").string();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ::close(pipeFds[0]);  // the reader is gone before the report is written
    Result r = RunCli(dir, {"--seconds", "1", "--json", json, "--log", log, "T=" + img}, 0, 0, pipeFds[1]);
    ::close(pipeFds[1]);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("the report: cannot write to standard output: Error Code = 32 "), std::string::npos)
        << r.err;
    EXPECT_EQ(AllIoCount(Slurp(json)), static_cast<int64_t>(std::filesystem::file_size(log) / 32));

    for (const int sig : {SIGHUP, SIGTERM}) {
        r = RunCli(dir, {"--seconds", "60", "--json", json, "T=" + img}, 1200, sig);
        EXPECT_EQ(r.status, 0) << sig << r.err;
        EXPECT_NE(Slurp(json).find("\"interrupted\": true"), std::string::npos) << sig;
    }
    const auto noTemporary = [&](const std::string& name) {
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(e.path().filename().string().rfind(name, 0), std::string::npos) << e.path();
    };
    const std::string big = (dir.path() / "big.img").string();
    r = RunCli(dir, {"--seconds", "1", "--create", "64G", "T=" + big}, 300, SIGHUP);
    EXPECT_EQ(r.status, 130) << r.err;
    noTemporary("big.img");
    r = RunCli(dir, {"--seconds", "1", "--create", "64G", "T=" + big}, 300, SIGQUIT);
    EXPECT_EQ(r.status, 128 + SIGQUIT) << r.err;  // still ended by its signal, for the parent to see
    noTemporary("big.img");

    // An interrupted run does not read back (it would take hours on a large volume), and Ctrl-C during the
    // read-back ends it: the results say so, within a moment.
    const std::string many = dir.MakeImage("many.img", 64 << 20);
    const std::vector<std::string> readBack = {"--seconds", "3",  "--block-size",   "512",
                                               "--threads", "8",  "--reads",        "0",
                                               "--writes",  "1",  "--destroy-data", "--verify-after",
                                               "--json",    json, "T=" + many};
    r = RunCli(dir, readBack, 1000);
    EXPECT_EQ(r.status, 0) << r.err;
    const nlohmann::json skipped = nlohmann::json::parse(Slurp(json))["verify_after"];
    EXPECT_EQ(skipped["complete"], false);
    EXPECT_EQ(skipped["skipped"], true);
    // Eight writers for 3 s leave tens of thousands of blocks, read back one by one for seconds.
    const auto start = std::chrono::steady_clock::now();
    r = RunCli(dir, readBack, 3600);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5500));
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string doc = Slurp(json);
    EXPECT_NE(doc.find("\"interrupted\": true"), std::string::npos);
    const nlohmann::json after = nlohmann::json::parse(doc)["verify_after"];
    EXPECT_EQ(after["complete"], false);
    EXPECT_FALSE(after.contains("skipped"));
    EXPECT_TRUE(after.contains("blocks_checked"));
    EXPECT_NE(r.out.find("interrupted, blocks past those checked were not read back"), std::string::npos);
}

// Buffers are made before the test time starts, however large: a run whose blocks take long to prepare still
// runs its time (before, the preparation ate the test time and the workers were reported stuck); a run whose
// buffers cannot fit in memory is refused with the sizes before anything is made.
TEST(Cli, BuffersArePreparedOutsideTheTestTimeAndMustFitInMemory) {
    TempDir dir;
    const std::string img = (dir.path() / "big.img").string();
    std::ofstream(img).close();
    std::filesystem::resize_file(img, int64_t{1} << 30);  // sparse: nothing written
    Result r = RunCli(
        dir, {"--seconds", "0", "--block-size", "268435456", "--threads", "1", "--json", "-", "T=" + img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(AllIoCount(r.out), 1) << r.out.substr(0, 600);
    EXPECT_NE(r.out.find("\"workers_not_returned\": 0"), std::string::npos);

    r = RunCli(dir, {"--seconds", "1", "--block-size", "1073741824", "--threads", "64", "T=" + img});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("the run needs "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" for the workers' buffers, 0 for the verify map, 320000000 for the operation log), "
                         "more than the "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("Totals"), std::string::npos);
}

TEST(Cli, APauseNeverOutlastsTheTestTime) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20);
    const auto start = std::chrono::steady_clock::now();
    const Result r = RunCli(dir, {"--seconds", "1", "--pause", "20000", "--pause-type", "fixed", "T=" + img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // the pause was 20 s
}

TEST(Cli, CtrlCEndsTheRunAndStillWritesTheResults) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 4 << 20);
    const std::string json = (dir.path() / "r.json").string(), log = (dir.path() / "ops.dat").string();
    const auto start = std::chrono::steady_clock::now();
    Result r = RunCli(dir, {"--seconds", "60", "--json", json, "--log", log, "T=" + img}, 1500);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Run interrupted."), std::string::npos);
    const std::string doc = Slurp(json);
    EXPECT_NE(doc.find("\"interrupted\": true"), std::string::npos);
    EXPECT_EQ(AllIoCount(doc), static_cast<int64_t>(std::filesystem::file_size(log) / 32));
    EXPECT_GT(AllIoCount(doc), 0);
}

TEST(Cli, FailuresAreReportedByCauseAndRatesAreNeverNegative) {
    TempDir dir;
    testing_support::LoopDevice loop(dir.MakeImage("ro.img", 4 << 20));
    if (loop.path.empty()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
    ASSERT_EQ(std::system(("blockdev --setro " + loop.path).c_str()), 0);
    const std::string json = (dir.path() / "r.json").string();
    // Writes to a read-only device fail with EPERM; reads succeed; random pauses reorder the recording.
    const Result r = RunCli(dir, {"--seconds", "2", "--reads", "2", "--writes", "1", "--pause", "3",
                                  "--threads", "3", "--destroy-data", "--json", json, "R=" + loop.path});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("Errors by cause\n    EPERM Operation not permitted: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("per sec -"), std::string::npos) << r.out;
    const std::string doc = Slurp(json);
    const nlohmann::json cause = nlohmann::json::parse(doc)["all"]["errors_by_cause"][0];
    EXPECT_EQ(cause["code"], 1);
    EXPECT_EQ(cause["name"], "EPERM");
    EXPECT_EQ(cause["text"], "Operation not permitted");
    EXPECT_GT(cause["count"].get<int64_t>(), 0);
    EXPECT_EQ(doc.find("\"elapsed_s\": -"), std::string::npos);
    EXPECT_EQ(doc.find("\"io_per_sec\": -"), std::string::npos);
    EXPECT_EQ(doc.find("\"duration_s\": -"), std::string::npos);
}

namespace {

// The number after "key": inside the "all" object of a results document.
double AllNumber(const std::string& doc, const std::string& key) {
    const size_t all = doc.find("\"all\": {");
    const size_t at = all == std::string::npos ? all : doc.find("\"" + key + "\": ", all);
    return at == std::string::npos ? -1 : std::stod(doc.substr(at + key.size() + 4));
}

}  // namespace

TEST(Cli, PercentilesAgreeWithTheExactOnesFromTheLog) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 8 << 20);
    const std::string json = (dir.path() / "r.json").string(), log = (dir.path() / "ops.dat").string();
    Result r = RunCli(dir, {"--seconds", "2", "--threads", "2", "--json", json, "--log", log, "T=" + img});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string run = Slurp(json);
    r = RunCli(dir, {"analyze", log, "--json", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    JsonChecker check{r.out};
    EXPECT_TRUE(check.Document()) << r.out.substr(0, 300);
    EXPECT_EQ(AllNumber(r.out, "operations"), AllNumber(run, "io_count"));
    for (const char* p : {"p50", "p90", "p99", "p99_9", "max"}) {
        const double exact = AllNumber(r.out, p), reported = AllNumber(run, p);
        ASSERT_GT(exact, 0) << p;
        EXPECT_LE(std::abs(reported - exact), exact * 0.01) << p << ": " << reported << " against " << exact;
    }
    r = RunCli(dir, {"analyze", img.substr(0, img.size() - 1)});
    EXPECT_EQ(r.status, 2);
}

TEST(Cli, VerifyFindsCorruptedAndMisdirectedBlocksAndACleanDeviceHasNone) {
    TempDir dir;
    const std::string img = dir.MakeImage("v.img", 1 << 20);
    const std::string json = (dir.path() / "v.json").string();
    // Under the run, blocks 10-19 are overwritten with garbage and block 30's data is copied over block 40.
    std::atomic<bool> done{false};
    std::thread meddler([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        const int fd = ::open(img.c_str(), O_RDWR);
        std::vector<char> garbage(4096, 0x3C), copy(4096);
        for (int round = 0; round < 200 && !done; ++round) {
            for (int b = 10; b < 20; ++b)
                if (::pwrite(fd, garbage.data(), 4096, b * 4096) < 0) break;
            if (::pread(fd, copy.data(), 4096, 30 * 4096) == 4096 &&
                ::pwrite(fd, copy.data(), 4096, 40 * 4096) < 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fd);
    });
    Result r = RunCli(dir, {"--seconds", "3", "--threads", "1", "--reads", "3", "--writes", "1",
                            "--destroy-data", "--verify", "--json", json, "V=" + img});
    done = true;
    meddler.join();
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string doc = Slurp(json);
    EXPECT_TRUE(nlohmann::json::parse(doc)["verify"].contains("blocks_written")) << doc.substr(0, 400);
    EXPECT_EQ(doc.find("\"corrupted\": 0,"), std::string::npos) << r.out;
    EXPECT_EQ(doc.find("\"misdirected\": 0,"), std::string::npos) << r.out;
    EXPECT_NE(doc.find("\"name\": \"MISMATCH\""), std::string::npos);  // counted as failed operations
    EXPECT_NE(r.out.find("corrupted V: block 1"), std::string::npos) << r.out;

    // A clean run finds nothing, during the run or when every written block is read back: on an image
    // file, and on a loop device where one can be attached, synchronous and queued.
    testing_support::LoopDevice loop(dir.MakeImage("clean.img", 4 << 20));
    const std::string image = dir.MakeImage("clean2.img", 4 << 20);
    for (const std::string& target : {image, loop.path})
        for (const char* depth : {"1", "4"}) {
            if (target.empty()) continue;
            r = RunCli(dir, {"--seconds", "1", "--reads", "2", "--writes", "2", "--queue-depth", depth,
                             "--destroy-data", "--verify-after", "C=" + target});
            EXPECT_EQ(r.status, 0) << target << r.err << r.out;
            EXPECT_NE(
                r.out.find(" 0 mismatches (corrupted 0, misdirected 0, lost 0)\nVerify after the run (not "
                           "in the figures above): "),
                std::string::npos)
                << r.out;
            EXPECT_EQ(r.out.find("Verify after the run (not in the figures above): 0 blocks"),
                      std::string::npos)
                << r.out;  // blocks were read back
        }
    r = RunCli(dir, {"--seconds", "1", "--verify", "C=" + image});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--verify checks what the run writes"), std::string::npos);
}

TEST(Cli, TheListAsJsonForScripts) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 3 << 20);
    const Result r =
        RunCli(dir, {"--list", "--json", "-", "T=" + img, "U=" + (dir.path() / "none.img").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    JsonChecker check{r.out};
    EXPECT_TRUE(check.Document()) << r.out;
    EXPECT_NE(r.out.find("{\"letter\": \"T\", \"device\": \"" + img +
                         "\", \"size_bytes\": 3145728, \"present\": true}"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"size_bytes\": null, \"present\": false}"), std::string::npos) << r.out;
}

TEST(Cli, StartAtWaitsForItsTimeAndRefusesOneThatIsPast) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20);
    Result r = RunCli(dir, {"--seconds", "1", "--start-at", "2020-01-01T00:00:00Z", "T=" + img});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--start-at: 2020-01-01T00:00:00.000Z is already past"), std::string::npos) << r.err;
    r = RunCli(dir, {"--seconds", "1", "--start-at", "tomorrow", "T=" + img});
    EXPECT_EQ(r.status, 2);
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const std::string at = cli::IsoUtc(now + 2500);
    const std::string json = (dir.path() / "r.json").string();
    r = RunCli(dir, {"--seconds", "1", "--start-at", at, "--json", json, "T=" + img});
    EXPECT_EQ(r.status, 0) << r.err;
    int64_t first = 0;
    const std::string doc = Slurp(json);
    const size_t pos = doc.find("\"first_operation_utc\": \"");
    ASSERT_NE(pos, std::string::npos);
    ASSERT_TRUE(cli::ParseIsoUtc(doc.substr(pos + 24, 24), first)) << doc.substr(pos, 60);
    EXPECT_GE(first, now + 2500);  // nothing before the time
    EXPECT_LT(first, now + 2500 + 2000);
}

TEST(Cli, TheDepthReachedIsReportedBesideTheDepthAsked) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 16 << 20);
    const bool queues = platform::QueuedEngine().available;
    for (const auto& [threads, depth] : {std::pair{2, 1}, std::pair{1, 8}}) {
        if (depth > 1 && !queues) continue;
        const Result r = RunCli(dir, {"--seconds", "1", "--threads", std::to_string(threads), "--queue-depth",
                                      std::to_string(depth), "--json", "-", "T=" + img});
        ASSERT_EQ(r.status, 0) << r.err;
        // Little's law over the run: the summed durations over its span, never above what was asked.
        const double mean = AllNumber(r.out, "mean_in_flight");
        EXPECT_GT(mean, 0.5) << threads << " x " << depth;
        EXPECT_LE(mean, threads * depth + 0.01) << threads << " x " << depth;
        EXPECT_NE(r.err.find("of " + std::to_string(threads * depth) + " asked"), std::string::npos) << r.err;
    }
}

// What a run could not see or do is said, not left for the operator to guess.
TEST(Cli, RefusalsComeBeforeAnythingIsCreatedOrOpened) {
    TempDir dir;
    // A FIFO named as a volume: refused at once, before an open could wait for a writer.
    const std::string fifo = (dir.path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto t0 = std::chrono::steady_clock::now();
    Result r = RunCli(dir, {"--seconds", "1", "T=" + fifo});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(fifo + " is a FIFO, not a block device or image file"), std::string::npos) << r.err;

    // --create: a block larger than the image would be refused by Start, so nothing is made.
    const std::string small = (dir.path() / "small.img").string();
    r = RunCli(dir, {"--seconds", "1", "--create", "64K", "--block-size", "131072", "T=" + small});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("it is larger than T: (" + small + "), which holds 65536 bytes"), std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(small));
    // Refused only once the image exists (its transfer unit): the new image is removed again.
    r = RunCli(dir, {"--seconds", "1", "--create", "64K", "--block-size", "1000", "T=" + small});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("multiple of"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(small));
    // A name longer than the file system allows: said, never an exception.
    const std::string longName = (dir.path() / std::string(300, 'x')).string();
    r = RunCli(dir, {"--seconds", "1", "--create", "64K", "T=" + longName});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("--create: cannot create"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("File name too long"), std::string::npos) << r.err;

    // Times that do not exist, or that the program would take as "at once".
    for (const char* when : {"1970-01-01T00:00:00Z", "1969-12-31T23:59:59Z", "2026-02-31T00:00:00Z",
                             "2026-01-01T-1:-1:-1Z", "2026-01-01T24:00:00Z", "2026-13-01T00:00:00Z"}) {
        r = RunCli(dir, {"--seconds", "1", "--start-at", when, "T=" + small});
        EXPECT_EQ(r.status, 2) << when;
        EXPECT_NE(r.err.find("--start-at: '" + std::string(when) + "' is not"), std::string::npos) << r.err;
    }
}

TEST(Cli, AVerifyRunThatNeverReadsWhatItWroteSaysSo) {
    TempDir dir;
    // Forward, one read and one write per portion, an even number of blocks: reads meet only even blocks,
    // writes only odd ones. The two workers may walk in step, leaving every written block open: the hint
    // holds then too.
    const std::string img = dir.MakeImage("t.img", 16 * 4096);
    const Result r = RunCli(dir, {"--seconds", "1", "--method", "forward", "--writes", "1", "--verify",
                                  "--destroy-data", "--json", "-", "T=" + img});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("no read met a block the run had written"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\"blocks_checked\": 0"), std::string::npos);
    EXPECT_NE(r.out.find("\"hint\": \"No read met a block"), std::string::npos);
}

TEST(Cli, AnOutputFIFOWithoutAReaderDoesNotHoldCtrlC) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20);
    const std::string fifo = (dir.path() / "results.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The run ends after a second; then the JSON's open waits for a reader that never comes, until Ctrl-C.
    const auto t0 = std::chrono::steady_clock::now();
    const Result r = RunCli(dir, {"--seconds", "1", "--json", fifo, "T=" + img}, 2500);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(6));
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("--json: cannot write " + fifo), std::string::npos) << r.err;
}

TEST(Cli, LiveLinesAddUpToTheResultsAndAFullDiskCostsThemNotTheRun) {
    using nlohmann::json;
    TempDir dir;
    const std::string t = dir.MakeImage("t.img", 4 << 20), u = dir.MakeImage("u.img", 4 << 20);
    const std::string results = (dir.path() / "r.json").string();
    // Standard output carries the lines alone; the text report goes to standard error.
    Result r =
        RunCli(dir, {"--seconds", "3", "--live-interval", "1", "--live", "-", "--json", results, "--pause",
                     "1", "--reads", "3", "--writes", "1", "--destroy-data", "T=" + t, "U=" + u});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("I/O total"), std::string::npos);
    // Per volume and "all": operations, bytes, errors, writes, bytes written.
    std::map<std::string, std::array<int64_t, 5>> sums;
    std::map<std::string, std::map<int64_t, int64_t>> buckets;
    std::istringstream lines(r.out);
    json summary;
    int intervals = 0;
    for (std::string line; std::getline(lines, line);) {
        const json l = json::parse(line, nullptr, false);
        ASSERT_FALSE(l.is_discarded()) << line;
        ASSERT_EQ(l["live_schema"], 1);
        if (l["type"] == "summary") {
            summary = l;
            continue;
        }
        ASSERT_TRUE(summary.is_null()) << "the summary is the last line";
        ++intervals;
        auto& s = sums[l["volume"].get<std::string>()];
        s[0] += l["io_count"].get<int64_t>();
        s[1] += l["bytes"].get<int64_t>();
        s[2] += l["errors"].get<int64_t>();
        s[3] += l["writes"].get<int64_t>();
        s[4] += l["write_bytes"].get<int64_t>();
        for (const json& b : l["latency_histogram"]["buckets"])
            buckets[l["volume"].get<std::string>()][b[0].get<int64_t>()] += b[1].get<int64_t>();
    }
    EXPECT_GE(intervals, 6);  // two volumes, three seconds, and all
    ASSERT_FALSE(summary.is_null());
    const json doc = json::parse(Slurp(results));
    std::vector<std::pair<std::string, const json*>> figures = {{"all", &doc["all"]}};
    for (const json& v : doc["volumes"]) figures.push_back({v["letter"].get<std::string>(), &v});
    for (const auto& [name, f] : figures) {
        SCOPED_TRACE(name);
        EXPECT_EQ(sums[name][0], (*f)["totals"]["io_count"].get<int64_t>());
        EXPECT_EQ(sums[name][1], (*f)["totals"]["bytes"].get<int64_t>());
        EXPECT_EQ(sums[name][2], (*f)["totals"]["errors"].get<int64_t>());
        EXPECT_EQ(sums[name][3], (*f)["totals"]["writes"].get<int64_t>());
        EXPECT_EQ(sums[name][4], (*f)["totals"]["write_bytes"].get<int64_t>());
        // One write in four operations.
        EXPECT_NEAR(sums[name][3] * 4.0 / sums[name][0], 1.0, 0.05);
        std::map<int64_t, int64_t> run;
        for (const json& b : (*f)["latency_histogram"]["buckets"])
            run[b[0].get<int64_t>()] = b[1].get<int64_t>();
        EXPECT_EQ(buckets[name], run);
    }
    EXPECT_EQ(summary["all"]["io_count"], doc["all"]["totals"]["io_count"]);
    EXPECT_EQ(summary["lines_not_written"], 0);

    // A full disk under the lines: the reason said once, the run and its results go on, and the exit status
    // says that not everything was written.
    std::remove(results.c_str());
    r = RunCli(
        dir, {"--seconds", "2", "--live-interval", "1", "--live", "/dev/full", "--json", results, "T=" + t});
    EXPECT_EQ(r.status, 4) << r.err;
    const std::string reason = "No space left on device";
    const size_t first = r.err.find(reason);
    EXPECT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(reason, first + 1), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("lines were not written to /dev/full"), std::string::npos) << r.err;
    EXPECT_GT(json::parse(Slurp(results))["all"]["totals"]["io_count"].get<int64_t>(), 0);

    // A --live path whose directory is gone: refused before the run, which then writes nothing.
    std::remove(results.c_str());
    const std::string gone = (dir.path() / "gone" / "live.jsonl").string();
    r = RunCli(dir, {"--seconds", "1", "--live", gone, "--json", results, "T=" + t});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("--live: cannot write " + gone), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(results));

    // The same for the operation log streamed to a full disk: counted in the report and the JSON.
    r = RunCli(dir, {"--seconds", "1", "--log", "/dev/full", "--json", results, "T=" + t});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("records were not written to /dev/full"), std::string::npos) << r.err;
    const json doc2 = json::parse(Slurp(results));
    EXPECT_EQ(doc2["log_not_written"], doc2["all"]["totals"]["io_count"]);
    EXPECT_EQ(doc2["log_complete"], false);
}

namespace {

// One HTTP GET over a fresh connection; the whole reply (empty when the connection failed).
std::string HttpGet(int port, const std::string& path, const std::string& accept) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: x\r\nAccept: " + accept + "\r\nConnection: close\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[4096];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply;
}

}  // namespace

TEST(Metrics, ServedBesideAClientThatHoldsTwoHundredConnectionsAndRefusedWhereTheyCannotBe) {
    if (!cli::MetricsServer::Available()) GTEST_SKIP() << "built without libmicrohttpd";
    cli::MetricsServer server;
    std::string error;
    ASSERT_TRUE(server.Start("127.0.0.1:0", error)) << error;
    server.Publish("a 1\n# EOF\n", "a 1\n");
    // Two hundred connections that never send a byte.
    std::vector<int> idle;
    for (int k = 0; k < 200; ++k) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(server.Port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        idle.push_back(fd);
    }
    const std::string open =
        HttpGet(server.Port(), "/metrics", "application/openmetrics-text; version=1.0.0");
    EXPECT_NE(open.find("200 OK"), std::string::npos) << open;
    EXPECT_NE(open.find("Content-Type: application/openmetrics-text; version=1.0.0"), std::string::npos)
        << open;
    EXPECT_NE(open.find("\r\n\r\na 1\n# EOF\n"), std::string::npos) << open;
    const std::string classic = HttpGet(server.Port(), "/metrics", "text/plain");
    EXPECT_NE(classic.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << classic;
    EXPECT_EQ(classic.find("# EOF"), std::string::npos);
    EXPECT_NE(HttpGet(server.Port(), "/", "*/*").find("404"), std::string::npos);
    for (int fd : idle) close(fd);

    // The port taken, an address of another machine, and what is no address: refused before the run.
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20);
    Result r = RunCli(dir, {"--seconds", "1", "--metrics-listen",
                            "127.0.0.1:" + std::to_string(server.Port()), "T=" + img});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("another program has the port"), std::string::npos) << r.err;
    r = RunCli(dir, {"--seconds", "1", "--metrics-listen", "192.0.2.1:9464", "T=" + img});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the address is not this machine's"), std::string::npos) << r.err;
    for (const char* bad : {"9464", "localhost", "127.0.0.1:", "127.0.0.1:99999", "[::1]9464"}) {
        r = RunCli(dir, {"--seconds", "1", "--metrics-listen", bad, "T=" + img});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("is not ADDR:PORT"), std::string::npos) << r.err;
    }
    r = RunCli(dir, {"--seconds", "1", "--metrics-listen", "example.com:9464", "T=" + img});
    EXPECT_NE(r.err.find("is not an IP address"), std::string::npos) << r.err;
}

TEST(Metrics, ScrapesAcrossTheRunsEndNeverGoBackAndTheLastHoldsTheFinalFigures) {
    if (!cli::MetricsServer::Available()) GTEST_SKIP() << "built without libmicrohttpd";
    using nlohmann::json;
    // A port free a moment ago.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
    const int port = ntohs(a.sin_port);
    close(probe);

    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 4 << 20), results = (dir.path() / "r.json").string();
    // Scrapes every 20 ms from before the run until after its last interval and its results.
    std::atomic<bool> stop{false};
    std::vector<std::string> bodies;
    std::thread scraper([&] {
        while (!stop) {
            const std::string reply =
                HttpGet(port, "/metrics", "application/openmetrics-text; version=1.0.0");
            if (!reply.empty()) bodies.push_back(reply.substr(reply.find("\r\n\r\n") + 4));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const Result r = RunCli(dir, {"--seconds", "2", "--live-interval", "1", "--metrics-listen",
                                  "127.0.0.1:" + std::to_string(port), "--metrics-linger", "1", "--json",
                                  results, "--reads", "1", "--writes", "1", "--destroy-data", "T=" + img});
    stop = true;
    scraper.join();
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_GE(bodies.size(), 10u);
    const json totals = json::parse(Slurp(results))["volumes"][0]["totals"];
    int64_t before = 0;
    int64_t last[2] = {0, 0};
    for (const std::string& body : bodies) {
        // Each scrape a whole document: its families, then # EOF.
        ASSERT_GE(body.size(), 6u);
        EXPECT_EQ(body.substr(body.size() - 6), "# EOF\n");
        int64_t kinds[2] = {0, 0};
        std::istringstream lines(body);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("volstress_operations_total{", 0) == 0)
                kinds[line.find("kind=\"write\"") != std::string::npos] =
                    std::stoll(line.substr(line.rfind(' ') + 1));
        EXPECT_GE(kinds[0] + kinds[1], before);
        before = kinds[0] + kinds[1];
        last[0] = kinds[0], last[1] = kinds[1];
    }
    EXPECT_EQ(last[0] + last[1], totals["io_count"].get<int64_t>());
    EXPECT_EQ(last[1], totals["writes"].get<int64_t>());
    // The last scrape's latency buckets: cumulative, rising to every operation (none took 10 s).
    std::istringstream lines(bodies.back());
    std::vector<int64_t> buckets;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("volstress_latency_seconds_bucket{", 0) == 0)
            buckets.push_back(std::stoll(line.substr(line.rfind(' ') + 1)));
    ASSERT_EQ(buckets.size(), 20u);
    EXPECT_TRUE(std::is_sorted(buckets.begin(), buckets.end()));
    EXPECT_GT(buckets[10], 0);  // page-cache operations: well under 25 ms
    EXPECT_EQ(buckets[18], totals["io_count"].get<int64_t>());
    EXPECT_EQ(buckets[19], totals["io_count"].get<int64_t>());
}

TEST(Cli, KilledMidRunTheLogAndTheLiveLinesHoldWholeRecordsAndLines) {
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 4 << 20);
    for (const std::string name : {"ops.dat", "ops.dat.zst"}) {
        if (name.find(".zst") != std::string::npos && !stats::LogStreamer::ZstdAvailable()) continue;
        const std::string log = (dir.path() / name).string(), live = (dir.path() / "live.jsonl").string();
        const Result r =
            RunCli(dir, {"--seconds", "30", "--live", live, "--live-interval", "1", "--log", log, "T=" + img},
                   2500, SIGKILL);
        EXPECT_EQ(r.status, 128 + SIGKILL);
        // Every line is whole JSON; the log reads to its end without damage, and holds records.
        std::istringstream lines(Slurp(live));
        int whole = 0;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded()) << line;
            ++whole;
        }
        EXPECT_GE(whole, 1);
        stats::LogReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(log, error)) << error;
        engine::LogEntry e;
        int64_t records = 0;
        while (reader.Next(e, error)) ++records;
        EXPECT_EQ(error, "") << name;
        EXPECT_GT(records, 0) << name;
    }
}

// Steady state on a volume whose rate its pauses set: reached within a few rounds of the fifth, the run ends
// there (long before its 15 rounds), and the report, the results and a live line say in which round.
TEST(Cli, SteadyStateEndsTheRunInTheRoundItIsReachedAndEveryOutputSaysWhich) {
    using nlohmann::json;
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20);
    const std::string results = (dir.path() / "r.json").string();
    const Result r = RunCli(dir, {"--steady-state", "iops", "--round", "2", "--seconds", "30", "--threads",
                                  "1", "--pause", "2", "--live", "-", "--json", results, "T=" + img});
    ASSERT_EQ(r.status, 0) << r.err;
    const json doc = json::parse(Slurp(results));
    const json& st = doc["volumes"][0]["steady_state"];
    ASSERT_TRUE(st["reached"].get<bool>()) << st.dump();
    const int round = st["reached_round"].get<int>();
    EXPECT_GE(round, 5);
    EXPECT_LE(round, 10);
    EXPECT_TRUE(doc["ended_at_steady_state"].get<bool>());
    EXPECT_LT(doc["all"]["elapsed_s"].get<double>(), 2.0 * round + 1.5);
    EXPECT_NE(r.err.find("Steady state (IO/s, rounds of 2 s): reached in round " + std::to_string(round)),
              std::string::npos)
        << r.err;
    int events = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const json l = json::parse(line);
        if (l["type"] != "event") continue;
        ++events;
        EXPECT_EQ(l["event"], "steady_state");
        EXPECT_EQ(l["reached_round"], round);
    }
    EXPECT_EQ(events, 1);
}

// The highest load under a bound: a bound no load can meet is said, with the lowest load's figure, and exits
// 1; one every load meets climbs to the depth allowed, each step in the table.
TEST(Cli, ALatencyTargetSearchSaysTheHighestLoadThatMetItOrThatNoneDid) {
    using nlohmann::json;
    TempDir dir;
    const std::string img = dir.MakeImage("t.img", 1 << 20);
    Result r = RunCli(dir, {"--latency-target", "p99=1ns", "--target-step", "1", "--json", "-", "T=" + img});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("The lowest load, depth 1, already misses it: p99 "), std::string::npos) << r.err;
    json doc = json::parse(r.out);
    EXPECT_TRUE(doc["latency_target"]["best_queue_depth"].is_null());
    ASSERT_EQ(doc["latency_target"]["steps"].size(), 1u);
    EXPECT_EQ(doc["all"]["totals"]["io_count"], doc["latency_target"]["steps"][0]["io_count"]);

    r = RunCli(dir, {"--latency-target", "p50=10s", "--target-step", "1", "--queue-depth", "4", "--json", "-",
                     "T=" + img});
    ASSERT_EQ(r.status, 0) << r.err;
    doc = json::parse(r.out);
    EXPECT_EQ(doc["latency_target"]["best_queue_depth"], 4);
    std::vector<int> depths;
    for (const json& step : doc["latency_target"]["steps"]) depths.push_back(step["queue_depth"].get<int>());
    EXPECT_EQ(depths, (std::vector<int>{1, 2, 4}));
    EXPECT_NE(r.err.find("Highest load that met it: depth 4"), std::string::npos) << r.err;

    // With --rate the rate is searched, in steps of the lowest whose step holds the operations (p50: 20 in
    // 1 s), and judged from the intended starts.
    r = RunCli(dir, {"--latency-target", "p50=10s", "--target-step", "1", "--rate", "60", "--json", "-",
                     "T=" + img});
    ASSERT_EQ(r.status, 0) << r.err;
    doc = json::parse(r.out);
    const json& search = doc["latency_target"];
    EXPECT_EQ(search["searched"], "rate");
    EXPECT_EQ(search["best_rate"], 60.0);
    EXPECT_TRUE(search["best_queue_depth"].is_null());
    std::vector<double> rates;
    for (const json& step : search["steps"]) {
        rates.push_back(step["rate"].get<double>());
        EXPECT_GT(step["rate_reached"].get<double>(), 0.5 * rates.back()) << step;
    }
    EXPECT_EQ(rates, (std::vector<double>{20, 40, 60}));
    EXPECT_NE(r.err.find("Highest load that met it: rate 60/s"), std::string::npos) << r.err;
}
