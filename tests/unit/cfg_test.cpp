// The daemon's configuration file: one small file per rule, checked for its
// result and its exact message, and two complete files checked against the
// configuration dump.
#include "cfg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log.h"
#include "support.h"

using ::testing::HasSubstr;

namespace {

constexpr const char *USER_LO = "user: { port = \"8080\"; ifc = \"lo\"; default_af = \"inet\"; };";

// A file with the three required sections; top goes under tavel.
std::string conf(const std::string &top, const std::string &listener = USER_LO,
                 const std::string &log = "", const std::string &runtime = "")
{
    return "tavel: {\n  log: { " + log + " };\n  listener: { " + listener +
           " };\n  runtime: { " + runtime + " };\n  " + top + "\n};\n";
}

struct loaded {
    int rc;
    std::string log;
    std::string err;
};

class cfg : public ::testing::Test {
protected:
    void TearDown() override { reset_app_config(&c_); }

    loaded load(const std::string &text)
    {
        write_file(dir_.file("tavel.conf"), text);
        return load_path(dir_.file("tavel.conf"));
    }
    loaded load_path(const std::string &path)
    {
        reset_app_config(&c_);
        LogCapture cap;
        StderrCapture err;
        const int rc = load_app_config(path.c_str(), &c_, false);
        return {rc, cap.text(), err.text()};
    }
    std::string dump()
    {
        char *buf = nullptr;
        size_t len = 0;
        FILE *fp = open_memstream(&buf, &len);
        dump_app_config(fp, &c_);
        fclose(fp);
        std::string out(buf, len);
        free(buf);
        return out;
    }

    TempDir dir_;
    tavel_cfg c_{};
};

struct rule {
    const char *name;
    std::string text;
    int rc;
    const char *message;  // in the log or on stderr; empty: none expected
};

const rule k_rules[] = {
    {"no log section", "tavel: { listener: {}; runtime: {}; };", -1,
     "load_config: missing log section\n"},
    {"no listener section", "tavel: { log: {}; runtime: {}; };", -1,
     "load_config: missing listener section\n"},
    {"no runtime section", "tavel: { log: {}; listener: {}; };", -1,
     "load_config: missing runtime section\n"},
    {"parse error", "tavel: { log: {} ", -1, "Error reading/parsing config file ["},
    {"idle timeout 0", conf("idle_task_timeout = 0;"), -1,
     "load_config: tavel.idle_task_timeout=0 at line 5 must be -1 or 1..86400000\n"},
    {"idle timeout -2", conf("idle_task_timeout = -2;"), -1,
     "load_config: tavel.idle_task_timeout=-2 at line 5 must be -1 or 1..86400000\n"},
    {"idle timeout over a day", conf("idle_task_timeout = 86400001;"), -1,
     "load_config: tavel.idle_task_timeout=86400001 at line 5 must be -1 or 1..86400000\n"},
    {"idle timeout -1", conf("idle_task_timeout = -1;"), 0, ""},
    {"retry period 0", conf("retry_period_sec = 0;"), -1,
     "load_config: tavel.retry_period_sec=0 at line 5 must be 1..86400\n"},
    {"retry period 0 without retries", conf("max_retries = 0; retry_period_sec = 0;"), 0, ""},
    {"retry period of a day", conf("retry_period_sec = 86400;"), 0, ""},
    {"retry period over a day", conf("retry_period_sec = 86401;"), -1,
     "load_config: tavel.retry_period_sec=86401 at line 5 must be 1..86400\n"},
    {"max_tasks 0", conf("max_tasks = 0;"), -1,
     "load_config: tavel.max_tasks=0 at line 5 must be 1..5000000\n"},
    {"max_tasks too many", conf("max_tasks = 5000001;"), -1,
     "load_config: tavel.max_tasks=5000001 at line 5 must be 1..5000000\n"},
    {"max_tasks as text", conf("max_tasks = \"100\";"), -1,
     "cfg_lookup: invalid tavel.max_tasks value type, integer expected\n"},
    {"max_tasks beyond int", conf("max_tasks = 3000000000L;"), -1,
     "load_config: tavel.max_tasks=3000000000 at line 5 does not fit in 32 bits\n"},
    {"outpkt below", conf("max_outpkt_len = 1499;"), -1,
     "load_config: tavel.max_outpkt_len=1499 at line 5 must be 1500..5000\n"},
    {"outpkt negative", conf("max_outpkt_len = -1;"), -1,
     "load_config: tavel.max_outpkt_len=-1 at line 5 must be 1500..5000\n"},
    {"max_pkts 0", conf("max_pkts = 0;"), 22,
     "load_config: tavel.max_pkts=0 at line 5 must be 1..64\n"},
    {"tcp buffer 33", conf("tcp_buffer_mb = 33;"), -1,
     "load_config: tavel.tcp_buffer_mb=33 at line 5 must be 1..32\n"},
    {"bucket update 50", conf("report: { path = \"/r\"; abkt_upd_ms = 50; };"), -1,
     "load_config: tavel.report.abkt_upd_ms=50 at line 5 must be 100..1000\n"},
    {"bucket update 50 without report", conf("report: { abkt_upd_ms = 50; };"), 0, ""},
    {"bucket count negative", conf("report: { path = \"/r\"; abkt_count = -1; };"), -1,
     "load_config: tavel.report.abkt_count=-1 at line 5 must be 5..128\n"},
    {"log level", conf("", USER_LO, "level = \"loud\";"), -1, "Invalid log level: loud\n"},
    {"time format", conf("", USER_LO, "time_format = \"utc\";"), -1, "Invalid time format: utc\n"},
    {"syslog as number", conf("", USER_LO, "enable_syslog = 0;"), -1,
     "invalid enable_syslog value type, boolean expected"},
    {"log path too long", conf("", USER_LO, "file = \"" + std::string(127, 'f') + "\";"), -1,
     "file value is too long (127), max = 127 characters."},
    {"port 0", conf("", "user: { port = \"0\"; };"), -1,
     "load_listener_from: invalid port value: 0\n"},
    {"port missing", conf("", "user: { ifc = \"all\"; };"), -1, "invalid port value: \n"},
    {"protocol", conf("", "user: { alias = \"a\"; protocol = \"sctp\"; port = \"80\"; };"), -1,
     "load_listener_from: invald protocol for [a]: sctp\n"},
    {"udp user listener", conf("", "user: { alias = \"u\"; protocol = \"UDP\"; port = \"80\"; };"),
     -1, "load_rui_config: user listener [u] cannot use protocol udp, only tcp serves requests\n"},
    {"udp admin listener", conf("", "admin: { protocol = \"udp\"; port = \"80\"; };"), 0, ""},
    {"low-water mark", conf("", "user: { port = \"80\"; lowmark = -1; };"), -1,
     "load_config: tavel.listener.user.lowmark=-1 at line 3 must be 0..1048576\n"},
    {"address family", conf("", "user: { port = \"80\"; default_af = \"ipx\"; };"), -1,
     "name2af: unsupported address family [ipx] in configuration."},
    {"unknown interface", conf("", "user: { port = \"80\"; ifc = \"nosuch9\"; };"), -1,
     "load_listener_from: [nosuch9] failed the check for IPv4/v6 interface name\n"
     "(ERR)  invalid network interface name/address: nosuch9\n"},
    {"unknown interface of a family",
     conf("", "user: { port = \"80\"; ifc = \"nosuch9\"; default_af = \"inet\"; };"), -1,
     "load_listener_from: [nosuch9] failed the check for [inet] interface name\n"},
    {"max_to_accept 0", conf("", std::string(USER_LO) + " max_to_accept = 0;"), -1,
     "load_config: tavel.listener.max_to_accept=0 at line 3 must be 1..65536\n"},
    {"user timeout 0", conf("", std::string(USER_LO) + " user_request_timeout = 0;"), -1,
     "load_config: tavel.listener.user_request_timeout=0 at line 3 must be 1..3600000\n"},
    {"user timeout over an hour",
     conf("", std::string(USER_LO) + "\n user_request_timeout = 3600001;"), -1,
     "load_config: tavel.listener.user_request_timeout=3600001 at line 4 must be 1..3600000\n"},
    {"admin timeout 0", conf("", "admin: { port = \"81\"; }; admin_request_timeout = 0;"), -1,
     "load_config: tavel.listener.admin_request_timeout=0 at line 3 must be 1..3600000\n"},
    {"custom timeout 0", conf("", "custom: { port = \"81\"; }; custom_request_timeout = 0;"), -1,
     "load_config: tavel.listener.custom_request_timeout=0 at line 3 must be 1..3600000\n"},
    {"custom timeout 0 without custom", conf("", "custom_request_timeout = 0;"), 0, ""},
    {"inbound interface", conf("multicast_ifc_in = \"nosuch9\";"), -1,
     "load_interface_name: cannot verify ifc=[nosuch9] for IPv4 or IPv6\n"},
    {"inbound interface too long", conf("multicast_ifc_in = \"abcdefghijklmno\";"), -1,
     "tavel.multicast_ifc_in value is too long (15), max = 15 characters."},
    {"agent address", conf("oxa: { udp-listener = \"127.0.0.1\"; };"), 22,
     "load_oxa_config: invalid address/port: [127.0.0.1]\n"},
    // The range table: the setting, its line and its range (with the rows
    // of the integration test).
    {"forced refresh negative", conf("report: { path = \"/r\"; force_refresh_sec = -1; };"), -1,
     "tavel.report.force_refresh_sec=-1 at line 5 must be 0..86400"},
    {"log files", conf("", USER_LO, "max_files = 200;"), -1,
     "tavel.log.max_files=200 at line 2 must be 0..127"},
    {"cpu", conf("", USER_LO, "", "cpunum = -2;"), -1,
     "tavel.runtime.cpunum=-2 at line 4 must be -1..1023"},
    {"listener of a list", conf("", "user: ( { port = \"80\"; lowmark = 2000000; } );"), -1,
     "tavel.listener.user[1].lowmark=2000000 at line 3 must be 0..1048576"},
    // Literals libconfig would cut to 32 bits (decimal ones: integration).
    {"hex wider than 31 bits", conf("report: { path = \"/r\";\n abkt_ms = 0x100000064; };"), -1,
     "tavel.report.abkt_ms=0x100000064 at line 6 does not fit in 32 bits"},
    {"hex past 64 bits", conf("idle_task_timeout = 0x10000000000000000L;"), -1,
     "load_config: tavel.idle_task_timeout=0x10000000000000000L at line 5 does not fit in 64 bits\n"},
    {"decimal past 64 bits", conf("max_retries =\n -9223372036854775809L;"), -1,
     "load_config: tavel.max_retries=-9223372036854775809L at line 6 does not fit in 64 bits\n"},
    {"hex of 64 bits is a negative number", conf("max_retries = 0xFFFFFFFFFFFFFFFFL;"), -1,
     "tavel.max_retries=0xFFFFFFFFFFFFFFFFL at line 5 does not fit in 64 bits"},
    {"64-bit literals that fit",
     conf("low = -9223372036854775808L; high = 0x7fffffffffffffffL; max_tasks = 64LL;"), 0, ""},
    {"wide digits in comments and texts",
     conf("# 4294967298\n /* 0x100000000 */ task_list = \"4294967298\";"
          " max_tasks = 5000000L; x = 1.5e30;"),
     0, ""},
    {"wide in a list of a list", conf("l = (1, [2, 4294967298]);"), -1,
     "load_config: tavel.l[2][2]=4294967298 at line 5 does not fit in 32 bits\n"},
    {"wide after a group in a list", conf("l = ({ a = 1; }, 4294967298);"), -1,
     "load_config: tavel.l[2]=4294967298 at line 5 does not fit in 32 bits\n"},
    {"a scalar in a listener list", conf("", "user: ( { port = \"80\"; }, 5 );"), -1,
     "get_listeners: tavel.listener.user[2] at line 3 is not a listener group\n"},
    {"agent address IPv6", conf("oxa: { udp-listener = \"2001:db8::1:4000\"; };"), -1,
     "load_oxa_config: invalid address/port: [2001:db8::1:4000]\n"},
};

TEST_F(cfg, EachRuleRefusesWithItsMessage)
{
    for (const rule &r : k_rules) {
        SCOPED_TRACE(r.name);
        const loaded l = load(r.text);
        EXPECT_EQ(l.rc, r.rc);
        if (*r.message) {
            EXPECT_THAT(l.log + l.err, HasSubstr(r.message));
        }
        if (r.rc != 0) {
            EXPECT_THAT(l.log, HasSubstr("load_app_config: FAILED ("));
        }
    }
}

// The warnings about settings the daemon does not read, one a line.
std::string ignored_lines(const std::string &log)
{
    std::string out;
    size_t at = 0;
    for (size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = log.substr(at, nl + 1 - at);
        if (line.find("ignored") != std::string::npos) out += line.substr(line.find("load_config"));
    }
    return out;
}

struct unknown_case {
    const char *name;
    std::string text;
    const char *warnings;  // every line, in order
};

// conf() puts log on line 2, listener on line 3, runtime on line 4 and the
// top keys on line 5.
const unknown_case k_unknown[] = {
    {"mistyped top keys",
     conf("max_taks = 64; idle_task_timout = -1;\n  report: { path = \"/r\"; force_refresh = 1; };"),
     "load_config: unknown setting tavel.max_taks at line 5 ignored\n"
     "load_config: unknown setting tavel.idle_task_timout at line 5 ignored\n"
     "load_config: unknown setting tavel.report.force_refresh at line 6 ignored\n"},
    {"sections", conf("debug: { trackio = true; };", USER_LO, "levle = \"debug\";", "run_as = \"x\";"),
     "load_config: unknown setting tavel.log.levle at line 2 ignored\n"
     "load_config: unknown setting tavel.runtime.run_as at line 4 ignored\n"
     "load_config: unknown setting tavel.debug.trackio at line 5 ignored\n"},
    {"listeners",
     conf("", "usr: { port = \"81\"; };\n user: ( { port = \"80\"; },\n { port = \"82\"; prot = \"tcp\"; } );"
              " max_accept = 3;"),
     "load_config: unknown setting tavel.listener.usr at line 3 ignored\n"
     "load_config: unknown setting tavel.listener.user[2].prot at line 5 ignored\n"
     "load_config: unknown setting tavel.listener.max_accept at line 5 ignored\n"},
    {"a fifth listener",
     conf("", "user: ( { port = \"80\"; }, { port = \"81\"; }, { port = \"82\"; }, { port = \"83\"; },\n"
              " { port = \"84\"; } );"),
     "load_config: listener 5 of tavel.listener.user at line 4 ignored: at most 4 are read\n"},
    {"groups of another type", conf("report = 5; debug = true;", std::string(USER_LO) + " admin = 1;"),
     "load_config: setting tavel.listener.admin at line 3 ignored: a group or a list expected\n"
     "load_config: setting tavel.report at line 5 ignored: a group expected\n"
     "load_config: setting tavel.debug at line 5 ignored: a group expected\n"},
    {"an unknown group is named once, the agent's key, settings outside tavel",
     "other = 1;\n" + conf("extra: { a = 1; b: { c = 2; }; };\n  oxa: { udp_listener = \"x\"; };"),
     "load_config: unknown setting other at line 1 ignored\n"
     "load_config: unknown setting tavel.extra at line 6 ignored\n"
     "load_config: unknown setting tavel.oxa.udp_listener at line 7 ignored\n"},
    {"groups after the end of tavel", conf("") + "report: { path = \"/r\"; };\ntavell: { a = 1; };",
     "load_config: unknown setting report at line 7 ignored\n"
     "load_config: unknown setting tavell at line 8 ignored\n"},
    {"known keys only", conf("max_tasks = 64; idle_task_timeout = -1;"), ""},
};

// A setting the daemon does not know is named with its line and start-up
// goes on with the defaults.
TEST_F(cfg, UnknownSettingsAreNamedAndIgnored)
{
    for (const unknown_case &u : k_unknown) {
        SCOPED_TRACE(u.name);
        const loaded l = load(u.text);
        EXPECT_EQ(l.rc, 0) << l.log << l.err;
        EXPECT_EQ(ignored_lines(l.log), u.warnings);
    }
    ASSERT_EQ(load(k_unknown[0].text).rc, 0);
    EXPECT_EQ(c_.max_tasks, 1024);
    EXPECT_EQ(c_.task_tmout_ms, 5000);
    EXPECT_EQ(c_.force_refresh_sec, 0);
    EXPECT_THAT(load(k_unknown[1].text).log, HasSubstr("(WRN)  load_config: unknown setting"));

    // A setting of an included file is placed in that file.
    const std::string inc = dir_.file("inc.conf");
    write_file(inc, "max_tasks = 8;\nmax_taks = 9;\n");
    const std::string with_inc = conf("\n@include \"" + inc + "\"\n");
    EXPECT_EQ(ignored_lines(load(with_inc).log),
              "load_config: unknown setting tavel.max_taks at line 2 of " + inc + " ignored\n");
    EXPECT_EQ(c_.max_tasks, 8);
    write_file(inc, "\nmax_tasks = 4294967304;\n");
    const loaded wide = load(with_inc);
    EXPECT_EQ(wide.rc, -1);
    EXPECT_THAT(wide.log, HasSubstr("load_config: tavel.max_tasks=4294967304 at line 2 of " + inc +
                                    " does not fit in 32 bits\n"));
}

// Each file is read once and the text libconfig parses is the text
// checked: an included file where its directive stands, the main file
// however it comes (a pipe reads empty the second time), none of them
// skipped for its size.  conf() puts the top keys on line 5.
TEST_F(cfg, EachFileIsReadOnceAndCheckedWhole)
{
    const std::string val = dir_.file("val.cfg"), inc = dir_.file("inc.cfg"),
                      deep = dir_.file("deep.cfg"), self = dir_.file("self.cfg"),
                      bad = dir_.file("bad.cfg"), big = dir_.file("big.cfg");
    write_file(val, "0x100000005\n");
    write_file(inc, "max_pkts = 8;\n");
    write_file(deep, "\n@include \"" + val + "\"\n");
    write_file(self, "@include \"" + self + "\"\n");
    write_file(bad, "max_pkts = ;\n");
    // Files that end inside a construct libconfig would finish with the
    // text after their directive.
    const std::string str = dir_.file("str.cfg"), cmt = dir_.file("cmt.cfg"),
                      inc_name = dir_.file("name.cfg");
    write_file(str, "max_pkts = 8;\nnote = \"x");
    write_file(cmt, "max_pkts = 8;\n/* note");
    write_file(inc_name, "\n@include \"" + dir_.file("v"));
    // Twice over 9 MiB: each inclusion counts.
    write_file(big, "# " + std::string(9 << 20, 'x') + "\n");
    const struct {
        const char *name;
        std::string text;
        int rc;
        std::string message;
    } cases[] = {
        {"the value alone in an included file", conf("max_tasks =\n@include \"" + val + "\"\n;"),
         -1, "load_config: tavel.max_tasks=0x100000005 at line 1 of " + val +
                 " does not fit in 32 bits\n"},
        {"a setting after the directive", conf("\n@include \"" + inc + "\" max_tasks = 0x100000005;"),
         -1, "load_config: tavel.max_tasks=0x100000005 at line 6 does not fit in 32 bits\n"},
        {"an inclusion inside an inclusion",
         conf("max_tasks = 7; max_retries =\n  @include \"" + deep + "\"\n;"), -1,
         "load_config: tavel.max_retries=0x100000005 at line 1 of " + val +
             " does not fit in 32 bits\n"},
        {"a directive inside a comment is none", conf("/*\n@include \"" + val + "\"\n*/"), 0, ""},
        {"a missing file", conf("\n@include \"" + dir_.file("none.cfg") + "\""), -1,
         "load_config: cannot read included file [" + dir_.file("none.cfg") +
             "] at line 6: No such file or directory\n"},
        {"a directory", conf("\n@include \"" + dir_.path() + "\""), -1,
         "load_config: cannot read included file [" + dir_.path() +
             "] at line 6: not a regular file\n"},
        {"a file including itself", conf("\n@include \"" + self + "\""), -1,
         "load_config: included file [" + self + "] at line 1 of " + self +
             " is nested deeper than 10 files\n"},
        {"a parse error in an included file", conf("\n@include \"" + bad + "\""), -1,
         "Error reading/parsing config file [" + bad + "]: line 1: syntax error\n"},
        {"an included file ending inside a string",
         conf("\n@include \"" + str + "\"\n\"; max_retries = 4294967298; # \""), -1,
         "load_config: included file [" + str + "] at line 6 ends inside a string begun at "
         "line 2 of " + str + "\n"},
        {"an included file ending inside a comment",
         conf("\n@include \"" + cmt + "\"\n max_tasks = 4294967298; */"), -1,
         "load_config: included file [" + cmt + "] at line 6 ends inside a comment begun at "
         "line 2 of " + cmt + "\n"},
        {"an included file ending inside an include name",
         conf("\n@include \"" + inc_name + "\"al.cfg\""), -1,
         "load_config: included file [" + inc_name + "] at line 6 ends inside an include name "
         "begun at line 2 of " + inc_name + "\n"},
        {"an escaped quote in an include name", conf("\n@include \"" + dir_.file("a\\\"b\"")), -1,
         "load_config: included file [" + dir_.file("a\\") +
             "] at line 6: a name holding a backslash or a line break is refused\n"},
        {"a line break in an include name", conf("\n@include \"" + dir_.file("a\nb") + "\""), -1,
         "load_config: included file [" + dir_.file("a\\nb") +
             "] at line 6: a name holding a backslash or a line break is refused\n"},
        {"inclusions past the size bound",
         conf("\n@include \"" + big + "\"\n@include \"" + big + "\""), -1,
         "load_config: configuration [" + dir_.file("tavel.conf") +
             "] with its included files is larger than 16777216 bytes\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const loaded l = load(c.text);
        EXPECT_EQ(l.rc, c.rc) << l.log << l.err;
        EXPECT_THAT(l.log + l.err, HasSubstr(c.message));
    }
    ASSERT_EQ(load(conf("\n@include \"" + inc + "\" max_tasks = 9;")).rc, 0);
    EXPECT_EQ(c_.max_pkts, 8);
    EXPECT_EQ(c_.max_tasks, 9);

    // A main file past the bound is refused, not checked in part.
    const std::string huge = conf("max_tasks = 8;") + "# " +
                             std::string((16 << 20) + 65536, 'x') + "\nx = 0x100000005;\n";
    loaded l = load(huge);
    EXPECT_EQ(l.rc, -1);
    EXPECT_THAT(l.log, HasSubstr("load_config: configuration [" + dir_.file("tavel.conf") +
                                 "] is larger than 16777216 bytes\n"));

    // From a pipe, read once.
    for (const std::string &text : {conf("max_tasks = 0x100000005;"), conf("max_tasks = 9;")}) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        ASSERT_EQ(write(fds[1], text.data(), text.size()), ssize_t(text.size()));
        close(fds[1]);
        l = load_path("/proc/self/fd/" + std::to_string(fds[0]));
        close(fds[0]);
        if (text.find("0x") != std::string::npos) {
            EXPECT_EQ(l.rc, -1);
            EXPECT_THAT(l.log, HasSubstr("load_config: tavel.max_tasks=0x100000005 at line 5 "
                                         "does not fit in 32 bits\n"));
        } else {
            EXPECT_EQ(l.rc, 0) << l.log;
            EXPECT_EQ(c_.max_tasks, 9);
        }
    }
}

TEST_F(cfg, MissingFileIsReportedOnStderr)
{
    const loaded l = load_path(dir_.file("absent.conf"));
    EXPECT_EQ(l.rc, -1);
    EXPECT_EQ(l.err, "Failed to load [" + dir_.file("absent.conf") + "]\n");
}

TEST_F(cfg, ListenerListsAndDefaults)
{
    std::string six = "{ port = \"800\"; }";
    for (char i = '1'; i < '6'; ++i) six += std::string(", { port = \"80") + i + "\"; }";
    ASSERT_EQ(load(conf("", "user: ( " + six + " ); custom: { domain_path = \"/tmp/x\"; };")).rc, 0);
    for (size_t i = 0; i < MAX_LISTENERS; ++i) {
        const listener_cfg &lc = c_.rui.user[i];
        EXPECT_TRUE(lc.is_valid && lc.index == i + 1 && lc.proto == 6 && !lc.ifc);
        EXPECT_EQ(std::string(lc.alias), "all:80" + std::to_string(i));
    }
    EXPECT_TRUE(!c_.rui.admin[0].is_valid && c_.rui.custom[0].is_valid);
    EXPECT_STREQ(c_.rui.custom[0].alias, "all:");
    EXPECT_EQ(c_.rui.user_request_tmout + c_.rui.admin_request_tmout + c_.rui.custom_request_tmout,
              10000);
}

TEST_F(cfg, DumpOfAMinimalFileShowsEveryDefault)
{
    const loaded l = load(conf(""));
    ASSERT_EQ(l.rc, 0) << l.log << l.err;
    EXPECT_THAT(l.log, HasSubstr("load_config: outbound multicast interface is non-specific\n"));
    EXPECT_EQ(c_.oxa.aport[0], '\0');
    EXPECT_EQ(c_.abkt.count, 10u);
    EXPECT_EQ(dump(),
              "-----------------------------------\n"
              "Log (regular):\n"
              "\tpath   = \n"
              "\tlevel  = info\n"
              "\tformat = local\n"
              "\tmax size = 64 Mb\n"
              "\tmax files = 16\n"
              "\n"
              "Runtime:\n"
              "\tflags:\n"
              "\n"
              "Listeners:\n"
              "\tuser listener[lo:8080]: ifc=lo, af=IPv4 port=8080\n"
              "\n"
              "\n"
              "\tmax-accepted=128\n"
              "\tI/O timeouts: user-rq=5000, admin-rq=0 custom-rq=0\n"
              "\n"
              "General:\n"
              "\tmax tasks: 1024\n"
              "\tmax retries: 3 ()\n"
              "\tretry period: 5 sec\n"
              "\tidle-task-timeout (ms): 5000 \n"
              "\tinbound multicast interface: all\n"
              "\tinbound alt-mcast interface: all\n"
              "\toutbound multicast interface: all\n"
              "\tmax-pkts: 4\n"
              "\tdgram-aligned: no\n"
              "\tmax-output-len: 5000\n"
              "\ttcp-buffer: 4 Mb\n"
              "\tmulti-IO: no\n"
              "\tsource avail/down timeout: 1000/600\n"
              "\n"
              "\n"
              "Task report:\n"
              "\n"
              "-----------------------------------\n");
    EXPECT_TRUE(c_.log.enable_syslog);
    EXPECT_EQ(c_.rt.cpunum, -1);
}

TEST_F(cfg, DumpOfAFullFile)
{
    const std::string text =
        "tavel: {\n"
        "  max_tasks = 100; max_retries = -1; retry_period_sec = 7; idle_task_timeout = -1;\n"
        "  max_outpkt_len = 1500; src_down_tmout_ms = 700; src_avail_tmout_ms = 900;\n"
        "  multicast_ifc_in = \"lo\"; multicast_ifc_out = \"lo\";\n"
        "  task_list = \"/tmp/tasks\"; route_list = \"/tmp/routes\";\n"
        "  max_pkts = 8; dgram_aligned = true; use_mmsg = true;\n"
        "  socket_rcvbuf_size = 65536; multicast_ttl = 7; tcp_buffer_mb = 8;\n"
        "  debug: { track_io = true; };\n"
        "  report: { path = \"/tmp/rep.json\"; force_refresh_sec = 3; abkt_count = 5;\n"
        "            abkt_ms = 50; abkt_upd_ms = 100; min_read_online = 10; compat_dashes = true; };\n"
        "  log: { file = \"/tmp/x.log\"; level = \"DEBUG\"; time_format = \"GMT\"; max_size_mb = 0;\n"
        "         max_files = 4; enable_syslog = false; };\n"
        "  runtime: { pidfile = \"/run/t.pid\"; run_as_user = \"nobody\"; non_daemon = true;\n"
        "             quiet = true; enforce_core_dumps = true; cpunum = 1; };\n"
        "  listener: {\n"
        "    user: ( { alias = \"u1\"; protocol = \"tcp\"; ifc = \"lo\"; port = \"8080\";\n"
        "              default_af = \"inet\"; lowmark = 10; },\n"
        "            { domain_path = \"/tmp/t.sock\"; alias = \"local\"; } );\n"
        "    admin: { port = \"9090\"; };\n"
        "    max_to_accept = 16; user_request_timeout = 3000; admin_request_timeout = 4000;\n"
        "    custom_request_timeout = 6000;\n"
        "  };\n"
        "  oxa: { udp-listener = \"127.0.0.1:4000\"; };\n"
        "};\n";
    const loaded l = load(text);
    ASSERT_EQ(l.rc, 0) << l.log << l.err;
    EXPECT_THAT(l.log, ::testing::Not(HasSubstr("non-specific")));
    EXPECT_THAT(l.log, ::testing::Not(HasSubstr("ignored")));  // every key is known
    EXPECT_STREQ(c_.config_path, dir_.file("tavel.conf").c_str());
    EXPECT_STREQ(c_.rrt_file, "/tmp/routes");
    EXPECT_EQ(c_.oxa.saddr.ss_family, AF_INET);
    EXPECT_EQ(c_.oxa.addr_len, socklen_t(sizeof(sockaddr_in)));
    EXPECT_EQ(c_.log.timefmt, 0x200);
    EXPECT_FALSE(c_.log.enable_syslog);
    EXPECT_EQ(c_.rt.cpunum, 1);
    // The lines that only a full file shows, in their places.
    const std::string d = dump();
    size_t at = 0;
    for (const char *line :
         {"\tpath   = /tmp/x.log\n\tlevel  = debug\n\tformat = gmt\n\nRuntime:\n",
          "\tpid file = /run/t.pid\n\trun as user: nobody\n\tflags: [non-daemon] [quiet] [cores]\n",
          "\tuser listener[u1]: ifc=lo, af=IPv4 port=8080 l-wmark(10)\n"
          "\tuser listener[local]: path=/tmp/t.sock\n\n"
          "\tadmin listener[all:9090]: ifc=<anyaddr>, af=UNSPEC port=9090\n\n\tmax-accepted=16\n"
          "\tI/O timeouts: user-rq=3000, admin-rq=4000 custom-rq=0\n",
          "\tmax retries: -1 ((unlimited))\n\tretry period: 7 sec\n"
          "\tidle-task-timeout (ms): -1 (no timeout)\n",
          "\tinbound alt-mcast interface: lo\n\toutbound multicast interface: lo\n",
          "\tdgram-aligned: YES\n\tmax-output-len: 1500\n\ttcp-buffer: 8 Mb\n\tmulti-IO: YES\n",
          "\n\nTask list: /tmp/tasks\n\nIGMP gateway:\n\tUDP-listener: 127.0.0.1:4000\n\n"
          "\tinbound socket buffer: 65536 (bytes)\n\tmulticast TTL: 7\n\nTask report:\n"
          "\tpath: /tmp/rep.json\n\tforce-refresh: every 3 sec\n"
          "\tavg-buckets: 5 x 50 ms upd: 100 ms\n\tMin read (online): 10 bytes\n"
          "\tuse dashes: yes\n\nTRACK-IO (packets)\n\n---"}) {
        const size_t p = d.find(line, at);
        EXPECT_NE(p, std::string::npos) << line << "\nin:\n" << d;
        at = p == std::string::npos ? at : p;
    }
}

TEST_F(cfg, CommandLinePacketCountAndTrackingFlagStand)
{
    c_.max_pkts = 16;
    write_file(dir_.file("tavel.conf"), conf("max_pkts = 2;"));
    setenv("TVL_TRKIO", "yes", 1);
    ASSERT_EQ(load_app_config(dir_.file("tavel.conf").c_str(), &c_, false), 0);
    unsetenv("TVL_TRKIO");
    EXPECT_EQ(c_.max_pkts, 16);
    EXPECT_TRUE(c_.must_track_io);
}

TEST(appcfg, Conversions)
{
    for (const char *f : {"local", "gmt", "no_time", "raw", "raw_mono"})
        EXPECT_STREQ(timefmt_str(str_to_timefmt(f)), f);
    EXPECT_EQ(str_to_timefmt("Raw_Mono"), 0x401u);
    EXPECT_STREQ(timefmt_str(str_to_timefmt("utc")), "#error#");
    EXPECT_EQ(str2proto("TCP") + str2proto("udp") + str2proto("sctp"), 6 + 17 - 1);
    EXPECT_TRUE(is_valid_port("1") && is_valid_port("65535"));
    EXPECT_FALSE(is_valid_port("0") || is_valid_port("65536") || is_valid_port("http"));
}

}  // namespace
