// The command line read straight into typed settings, and its words for a refusal.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/report_output.h"
#include "cli/results_schema.h"

namespace {

bool Parse(std::vector<std::string> args, cli::Options& o, std::string& error) {
    args.insert(args.begin(), "volstress-cli");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

}  // namespace

TEST(Options, SettingsAreTypedAsTheyAreRead) {
    cli::Options o;
    std::string error;
    ASSERT_TRUE(
        Parse({"--seconds", "90", "--method=butterfly", "--pause-type", "fixed", "--pause", "5", "--period",
               "7", "--reads", "3", "--writes=1", "--threads", "4", "--block-size", "8192", "T=/tmp/x.img"},
              o, error))
        << error;
    const engine::RunSettings& s = o.settings;
    EXPECT_EQ(s.testMs, 90'000);
    EXPECT_EQ(s.method, engine::Method::Batterfly);
    EXPECT_EQ(s.pauseType, engine::PauseType::Fixed);
    EXPECT_EQ(s.pauseMs, 5);
    EXPECT_EQ(s.periodSeconds, 7);
    EXPECT_EQ(s.readsPerPortion, 3);
    EXPECT_EQ(s.writesPerPortion, 1);
    EXPECT_EQ(s.threadsPerVolume, 4);
    EXPECT_EQ(s.blockSize, 8192);
    ASSERT_EQ(o.volumes.size(), 1u);
    EXPECT_EQ(o.volumes[0].index, 19);
    EXPECT_EQ(o.volumes[0].path, "/tmp/x.img");
    EXPECT_FALSE(engine::Validate(s));
    EXPECT_EQ(cli::CommandLineRefusal(o), "");

    cli::Options m;
    ASSERT_TRUE(Parse({"--minutes", "2", "C"}, m, error));
    EXPECT_EQ(m.settings.testMs, 120'000);
    EXPECT_EQ(engine::StatisticPeriodOf(m.settings), 1);
}

TEST(Options, RefusalsNameTheOptionAndQuoteWhatWasGiven) {
    cli::Options o;
    std::string error;
    EXPECT_FALSE(Parse({"--reads", "many", "T=/x"}, o, error));
    EXPECT_EQ(error, "--reads: 'many' is not a valid integer value for the reads per portion");

    cli::Options p;
    ASSERT_TRUE(Parse({"--seconds", "3600", "--period", "3", "T=/x"}, p, error));
    EXPECT_EQ(
        cli::RefusalText(engine::Validate(p.settings), p),
        "--period: '3' is not allowed for the statistics interval: a 3600-second test would need more than "
        "the 1000 intervals a run keeps (4 s or more)");
    // Ranges that do not depend on other options are refused as the option is read.
    cli::Options q;
    EXPECT_FALSE(Parse({"--minutes", "+40000", "T=/x"}, q, error));
    EXPECT_EQ(error, "--minutes: '+40000' is not allowed for the test time: it must be within 35791 minutes");
    cli::Options d;
    EXPECT_FALSE(Parse({"--queue-depth", "2000", "T=/x"}, d, error));
    EXPECT_EQ(error, "--queue-depth: '2000' is not allowed for the queue depth: it must be at most 1024");
    cli::Options b;
    ASSERT_TRUE(Parse({"--queue-depth", "8", "--submit-batch", "9", "T=/x"}, b, error));
    EXPECT_EQ(cli::RefusalText(engine::Validate(b.settings), b),
              "--submit-batch: '9' is not allowed for the operations per submission: it must be at most 8");
    cli::Options z;
    EXPECT_FALSE(Parse({"--submit-batch", "0", "T=/x"}, z, error));
    EXPECT_EQ(error,
              "--submit-batch: '0' is not allowed for the operations per submission: it must be at least 1");
    // Unless given, the hand-over is found as the run goes (0), as with "auto".
    cli::Options whole, single, automatic;
    ASSERT_TRUE(Parse({"--queue-depth", "32", "T=/x"}, whole, error));
    EXPECT_EQ(whole.settings.submitBatch, 0);
    ASSERT_TRUE(Parse({"--queue-depth", "32", "--submit-batch", "auto", "T=/x"}, automatic, error));
    EXPECT_EQ(automatic.settings.submitBatch, 0);
    EXPECT_EQ(engine::Validate(whole.settings).why, engine::Refusal::Why::None);
    ASSERT_TRUE(Parse({"--queue-depth", "32", "--submit-batch", "1", "T=/x"}, single, error));
    EXPECT_EQ(single.settings.submitBatch, 1);
    cli::Options n;
    EXPECT_FALSE(Parse({"--seconds", "-2", "T=/x"}, n, error));
    EXPECT_EQ(error, "--seconds: '-2' is not allowed for the test time in seconds: it must be 0 or more");

    engine::Refusal unit;
    unit.why = engine::Refusal::Why::NotMultiple;
    unit.field = engine::SettingField::BlockSize;
    unit.value = "1000";
    unit.limit = 512;
    EXPECT_EQ(
        cli::RefusalText(unit, o, "T: (/x)"),
        "--block-size: '1000' is not allowed for the block size: it must be a multiple of 512 bytes, the "
        "transfer unit of T: (/x)");
}

TEST(Json, NumbersReadBackAsTheSameValueAndTextIsAlwaysUtf8) {
    using nlohmann::ordered_json;
    const auto one = [](const ordered_json& v) {
        std::string text = cli::schema::Pretty(ordered_json::array({v}));
        return text.substr(1, text.size() - 3);  // "[v]\n"
    };
    EXPECT_EQ(one(1'321'354.0), "1321354.0");
    EXPECT_EQ(one(0.1), "0.1");
    EXPECT_EQ(one(1e300 * 1e300), "null");
    for (double v : {1'321'354.25, 123456789.123456, 3.0e-7, 86'399.999, 0.0078125}) {
        const std::string text = one(v);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    }
    EXPECT_EQ(one("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"");
    // Always UTF-8, whatever bytes a file name holds: a byte that is not part of a character becomes U+FFFD,
    // and our own readers take the file back.
    EXPECT_EQ(one("/tmp/\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA.img"),
              "\"/tmp/\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA.img\"");
    for (const char* raw : {"a\xFF"
                            "b",
                            "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82"}) {
        const std::string text = one(raw);
        EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos) << text;
        EXPECT_FALSE(nlohmann::json::parse(text, nullptr, false).is_discarded()) << text;
    }
}

TEST(Options, TimesAreTakenAsWrittenOrRefused) {
    int64_t ms = 0;
    EXPECT_TRUE(cli::ParseIsoUtc("2026-12-09T03:00:00Z", ms));
    EXPECT_EQ(cli::IsoUtc(ms), "2026-12-09T03:00:00.000Z");
    EXPECT_TRUE(cli::ParseIsoUtc("2028-02-29T23:59:59.5Z", ms));  // a leap day, half a second
    EXPECT_EQ(cli::IsoUtc(ms), "2028-02-29T23:59:59.500Z");
    for (const char* bad :
         {"2026-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-01-01T-1:-1:-1Z", "2026-01-01T00:60:00Z",
          "2026-01-01T00:00:60Z", "2026-1-01T00:00:00Z", "2026-01-01T00:00:00", "2026-01-01T00:00:00.Z",
          "2026-01-01 00:00:00Z", "2026-01-01T00:00:00.1234Z", "+026-01-01T00:00:00Z"})
        EXPECT_FALSE(cli::ParseIsoUtc(bad, ms)) << bad;
}

namespace {

// A value each option takes, for the forms below.
std::string SampleValue(const cli::OptionDef& o) {
    if (o.words[0] != '\0' && std::string(o.words) != "FILE" && std::string(o.words) != "FILE -")
        return std::string(o.words).substr(0, std::string(o.words).find(' '));
    const std::string name = o.name;
    if (name == "--start-at") return "2100-01-01T00:00:00Z";
    if (name == "--log" || name == "--json") return "out.file";
    if (name == "--cliff-fall") return "0.25";
    if (name == "--cliff-rise") return "4";
    if (name == "--latency-target") return "p99=2ms";
    if (name == "--rate") return "1000";
    return "1";
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every "--name" in text, as written in roff (\-\-name) or plain.
std::set<std::string> OptionNames(std::string text) {
    for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.replace(at, 2, "-");
    std::set<std::string> names;
    const auto word = [](char c) {
        return std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) ||
               c == '-';
    };
    for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
        size_t end = at + 2;
        while (end < text.size() && word(text[end])) ++end;
        while (end > at + 2 && text[end - 1] == '-') --end;
        if (end > at + 2 && std::islower(static_cast<unsigned char>(text[at + 2])))
            names.insert(text.substr(at, end - at));
        at = end - 2;
    }
    return names;
}

}  // namespace

// Each option in every form a script may write it: "--opt=v" as "--opt v", an empty value refused rather than
// taken as "not given", a flag given a value refused rather than read as yes (or no).
TEST(Options, EveryOptionInItsValueAndEmptyForms) {
    for (const cli::OptionDef& def : cli::OptionTable()) {
        const cli::Options::Mode mode = def.commands.front();
        std::vector<std::string> head;
        for (const cli::CommandDef& c : cli::Commands())
            if (c.mode == mode && c.name[0] != '\0') head.push_back(c.name);
        const std::string operand = mode == cli::Options::Mode::Run ? "T=/x" : "f";
        const auto parse = [&](std::vector<std::string> args, cli::Options& o, std::string& error) {
            args.insert(args.begin(), head.begin(), head.end());
            args.push_back(operand);
            return Parse(args, o, error);
        };
        cli::Options a, b;
        std::string error;
        if (!def.value) {
            EXPECT_TRUE(parse({def.name}, a, error)) << def.name << ": " << error;
            for (const char* v : {"=no", "=0", "=false", "=", "=yes"}) {
                EXPECT_FALSE(parse({def.name + std::string(v)}, b, error)) << def.name << v;
                EXPECT_EQ(error.rfind(def.name + std::string(" takes no value"), 0), 0u) << error;
            }
            continue;
        }
        const std::string v = SampleValue(def);
        std::string errorA, errorB;
        const bool okA = parse({def.name, v}, a, errorA), okB = parse({def.name + ("=" + v)}, b, errorB);
        EXPECT_TRUE(okA) << def.name << " " << v << ": " << errorA;
        EXPECT_EQ(okB, okA) << def.name;
        EXPECT_EQ(a.settings.blockSize, b.settings.blockSize);
        EXPECT_EQ(a.settings.testMs, b.settings.testMs);
        EXPECT_EQ(a.jsonPath, b.jsonPath);
        EXPECT_EQ(a.createSize, b.createSize);
        for (const std::vector<std::string>& empty :
             {std::vector<std::string>{def.name, ""},
              std::vector<std::string>{def.name + std::string("=")}}) {
            cli::Options e;
            EXPECT_FALSE(parse(empty, e, error)) << def.name;
            EXPECT_EQ(error, def.name + std::string(" needs a value (") + def.value + "), and '' is none");
        }
        cli::Options twice;
        EXPECT_FALSE(parse({def.name, v, def.name, v}, twice, error)) << def.name;
        EXPECT_NE(error.find("given twice"), std::string::npos) << error;
    }
}

// The man page's options and the bash completion's words are the table's: an option added to one and not
// the others fails here.
TEST(Options, TheManPageAndTheCompletionKnowEveryOptionOfTheTable) {
    std::set<std::string> table;
    for (const cli::OptionDef& o : cli::OptionTable()) table.insert(o.name);

    const std::string man = Slurp(VOLSTRESS_SOURCE_DIR "/packaging/volstress-cli.1");
    const size_t from = man.find(".SH OPTIONS"), to = man.find(".SH", from + 1);
    ASSERT_NE(from, std::string::npos);
    std::string entries;  // the line after each .TP names the entry's options
    std::istringstream lines(man.substr(from, to - from));
    for (std::string line, last; std::getline(lines, line); last = line)
        if (last == ".TP") entries += line + "\n";
    EXPECT_EQ(OptionNames(entries), table);
    const std::string completion = Slurp(VOLSTRESS_SOURCE_DIR "/packaging/volstress-cli.bash");
    for (const cli::CommandDef& c : cli::Commands()) {
        if (c.name[0] == '\0') continue;
        EXPECT_NE(man.find(".B volstress\\-cli " + std::string(c.name)), std::string::npos) << c.name;
        EXPECT_NE(completion.find(std::string(" ") + c.name), std::string::npos) << c.name;
    }

    const size_t list = completion.find("if [[ \"$cur\" == -* ]]");
    ASSERT_NE(list, std::string::npos);
    EXPECT_EQ(OptionNames(completion.substr(list, completion.find("elif", list) - list)), table);
    for (const cli::OptionDef& o : cli::OptionTable()) {
        const std::string words = o.words;
        if (words.empty() || words.rfind("FILE", 0) == 0) continue;
        EXPECT_NE(completion.find(std::string(o.name) + ") COMPREPLY=($(compgen -W \"" + words + "\""),
                  std::string::npos)
            << o.name << " completes " << words;
    }
}
