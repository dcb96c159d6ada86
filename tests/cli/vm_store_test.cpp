#include "cli/vm_store.h"

#include <sys/stat.h>
#include <filesystem>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

VmEntry vm(std::string id, std::string name) {
    VmEntry e;
    e.dir = std::filesystem::path("/store") / id;
    e.id = std::move(id);
    e.name = std::move(name);
    return e;
}

std::string helper_json(std::string_view vm_name, std::string_view dir) {
    return fmt::format(
        R"({{"disk_path":"{0}/disk.qcow2","seed_path":"{0}/seed.iso",)"
        R"("efi_store_path":"{0}/efi-vars.fd","machine_identifier_path":"{0}/machine-id",)"
        R"("console_log_path":"{0}/console.log","save_path":"{0}/state.save",)"
        R"("mac_address":"52:54:00:12:34:56","cpu_count":2,"memory_mib":2048,"disk_gib":0,)"
        R"("isolated":false,"ssh_host_port":0,"vm_name":"{1}"}})",
        dir, vm_name);
}

TEST(VmStore, LocalHostnameTakesFirstNonEmptyValue) {
    struct Case {
        const char* meta;
        std::optional<std::string> name;
    } cases[] = {
        {"instance-id: x\nlocal-hostname: web-1\n", "web-1"},
        {"local-hostname:   \nlocal-hostname: web-1\n", "web-1"},
        {"local-hostname:\t dev box \r\n", "dev box"},
        {"local-hostname: a\nlocal-hostname: b\n", "a"},
        {"  local-hostname: indented\n", std::nullopt},
        {"Local-Hostname: upper\n", std::nullopt},
        {"local-hostname:last-without-newline", "last-without-newline"},
        {"local-hostname: \n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(local_hostname(c.meta), c.name) << c.meta;
}

TEST(VmStore, ShortIdCountsCharacters) {
    struct Case {
        const char* id;
        const char* short_form;
    } cases[] = {
        {"3f2a9c1e-77d0-4e8b-9a51-0c6f5e2d1b44", "3f2a9c1e-77d"},
        {"short", "short"},
        {"exactly12chr", "exactly12chr"},
        {"ééééééééééééé", "éééééééééééé"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(short_id(c.id), c.short_form) << c.id;
}

TEST(VmStore, SortIsByteOrderAndStable) {
    std::vector<VmEntry> vms{vm("1", "alpha"), vm("2", "Beta"), vm("3", "alp"),
                             vm("4", "alpha"), vm("5", "é"),    vm("6", "z")};
    sort_by_name(vms);
    std::vector<std::string> ids;
    for (const auto& e : vms) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"2", "3", "1", "4", "6", "5"}));
}

TEST(VmStore, MatchVmCases) {
    const std::vector<VmEntry> dev_and_devbox{vm("9a11", "dev"), vm("d0aa", "devbox")};
    const std::vector<VmEntry> dev_and_dev_id{vm("9a11", "dev"), vm("dev-7", "other")};
    const std::vector<VmEntry> one{vm("3f2a9c1e-77d0-4e8b", "box")};
    struct Case {
        const std::vector<VmEntry>* vms;
        std::string query;
        std::string result;  // chosen id, or the error text
    } cases[] = {
        {&dev_and_devbox, "dev", "9a11"},
        {&dev_and_devbox, "devbox", "d0aa"},
        {&dev_and_devbox, "d0", "d0aa"},
        {&dev_and_devbox, "de", "no VM matches 'de' — see 'kelvo-vmhelper list'"},
        {&dev_and_devbox, "", "'' is ambiguous: dev (9a11), devbox (d0aa)"},
        {&dev_and_dev_id, "dev", "'dev' is ambiguous: dev (9a11), other (dev-7)"},
        {&dev_and_dev_id, "9a11", "9a11"},
        {&one, "", "3f2a9c1e-77d0-4e8b"},
        {&one, "3F2A", "no VM matches '3F2A' — see 'kelvo-vmhelper list'"},
        {&one, "3f2a9c1e-77d0-4e8b-more",
         "no VM matches '3f2a9c1e-77d0-4e8b-more' — see 'kelvo-vmhelper list'"},
    };
    for (const auto& c : cases) {
        auto r = match_vm(*c.vms, c.query);
        EXPECT_EQ(r ? r->id : r.error(), c.result) << c.query;
    }
    EXPECT_EQ(match_vm({}, "x").error(), "no VMs on this host (nothing under ~/.kelvo/vms)");
}

TEST(VmStore, ResolveVmWithoutWordNeverReadsTheStore) {
    const ScopedEnv no_home("HOME", std::nullopt);
    EXPECT_EQ(resolve_vm({"-f", "--json"}).error(),
              "missing <vm> argument — see 'kelvo-vmhelper help'");
    EXPECT_EQ(resolve_vm({"-n", "20"}).error(), "HOME not set");
    EXPECT_EQ(scan_vms().error(), "HOME not set");
}

TEST(VmStore, StateWordTable) {
    struct Case {
        bool helper, port, snapshot;
        std::string_view state;
    } cases[] = {
        {true, true, false, "running"},    {true, true, true, "running"},
        {true, false, true, "booting"},    {true, false, false, "booting"},
        {false, true, true, "hibernated"}, {false, false, false, "stopped"},
    };
    for (const auto& c : cases) EXPECT_EQ(state_word(c.helper, c.port, c.snapshot), c.state);
}

TEST(VmStore, ScanStoreNamesAndSkipsSilently) {
    TempDir tmp;
    const auto root = tmp.path() / "vms";
    auto add = [&](const std::string& id, std::string_view name) {
        const auto dir = root / id;
        write_file(dir / "helper.json", helper_json(name, dir.string()));
        return dir;
    };
    add("b-id", "Beta");
    add("a-id", "alpha");
    const auto web = add("w-id", "");
    write_file(web / "meta-data", "instance-id: w\nlocal-hostname:  \nlocal-hostname: web-1\n");
    add("3f2a9c1e-77d0-4e8b-9a51-0c6f5e2d1b44", "");
    write_file(root / "broken" / "helper.json", "{not json");
    write_file(root / "plain-file", "{}");
    std::filesystem::create_directories(root / "empty-dir");
    const auto bad_meta = add("m-id", "");
    write_file(bad_meta / "meta-data", "local-hostname: \xff\xfe\n");
    // Named pipes are refused unread: a read would wait for a writer forever.
    std::filesystem::create_directories(root / "fifo");
    ASSERT_EQ(::mkfifo((root / "fifo" / "helper.json").c_str(), 0600), 0);
    const auto fifo_meta = add("p-id", "");
    ASSERT_EQ(::mkfifo((fifo_meta / "meta-data").c_str(), 0600), 0);

    const auto vms = scan_store(root);
    std::vector<std::string> names, ids;
    for (const auto& e : vms) {
        names.push_back(e.name);
        ids.push_back(e.id);
        EXPECT_EQ(e.dir, root / e.id);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"3f2a9c1e-77d", "Beta", "alpha", "m-id", "p-id", "web-1"}));
    EXPECT_EQ(ids, (std::vector<std::string>{"3f2a9c1e-77d0-4e8b-9a51-0c6f5e2d1b44", "b-id", "a-id",
                                             "m-id", "p-id", "w-id"}));
    EXPECT_TRUE(scan_store(tmp.path() / "missing").empty());
}

TEST(VmStore, ScanVmsUsesHomeUnchanged) {
    TempDir tmp;
    const auto dir = tmp.path() / ".kelvo" / "vms" / "x1";
    write_file(dir / "helper.json", helper_json("x", dir.string()));
    auto vms = [&] {
        const ScopedEnv home("HOME", tmp.path().string() + "/");
        return scan_vms();
    }();
    ASSERT_TRUE(vms.has_value());
    ASSERT_EQ(vms->size(), 1u);
    EXPECT_EQ(config_path_text(vms->front()), (tmp.path() / ".kelvo/vms/x1/helper.json").string());
}

TEST(VmStore, DerivedPaths) {
    const VmEntry e = vm("abc", "n");
    EXPECT_EQ(config_path_text(e), "/store/abc/helper.json");
    EXPECT_EQ(event_log_path(e), std::filesystem::path("/store/abc/helper.out"));
    EXPECT_EQ(path_text(std::filesystem::path("/x/\xff")), "/x/\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kelvo
