// Runs a test inside a private network namespace of its own: loopback only, its own host
// name and /etc/hosts, so no packet can leave the machine and tests cannot collide on ports.
//
//     TEST(Suite, Case) {
//         if (!lbtest::isolated(net)) return;
//         ... the test, now inside ...
//     }
//
// Outside, isolated() runs this very test again inside a fresh namespace, checks that it
// passed, and is false; inside it is true.
#ifndef LB_TEST_NETNS_H
#define LB_TEST_NETNS_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace lbtest {

struct NetNs {
    std::string host = "testhost";                // the namespace's host name
    std::string hosts = "127.0.0.1 localhost\n";  // its /etc/hosts (names resolve from it alone)
    std::vector<std::string> setup;               // shell lines run inside before the test
};

// Makes an interface that exists only inside the namespace and gives it an address. Not every
// kernel has dummy interfaces; a bridge serves as well, as nothing is ever sent on it.
inline std::string iface(const std::string& name, const std::string& cidr) {
    return "{ ip link add " + name + " type dummy 2>/dev/null || ip link add " + name +
           " type bridge; }; ip addr add " + cidr + " dev " + name;
}

// The identity of this process's network namespace.
inline std::string netns_id() {
    struct stat st {};
    if (stat("/proc/self/ns/net", &st) != 0) return "";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Whether every interface here is lo or one that net's setup lines add.
inline bool only_own_interfaces(const NetNs& net) {
    std::string setup;
    for (const auto& line : net.setup) setup += line + "\n";
    std::ifstream dev("/proc/self/net/dev");
    if (!dev) return false;
    for (std::string line; std::getline(dev, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const auto from = line.find_first_not_of(' ');
        const std::string name = line.substr(from, colon - from);
        if (name != "lo" && setup.find("ip link add " + name + " ") == std::string::npos) return false;
    }
    return true;
}

inline bool isolated(const NetNs& net) {
    // The outer run names its namespace for the inner one. The variable alone proves
    // nothing: the inner run must be in another namespace, holding only its own interfaces.
    static const char outer_env[] = "LB_TEST_OUTER_NETNS";
    if (const char* outer = std::getenv(outer_env)) {
        if (netns_id() != outer && only_own_interfaces(net)) return true;
        ADD_FAILURE() << outer_env << " is set, but this is not a namespace of the test's own";
        return false;
    }
    if (geteuid() != 0) {
        ADD_FAILURE() << "network namespaces need root";
        return false;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();

    char tmpl[] = "/tmp/lb_ns_XXXXXX";
    if (!mkdtemp(tmpl)) {
        ADD_FAILURE() << "mkdtemp";
        return false;
    }
    const std::string dir = tmpl;
    const auto write = [](const std::string& name, const std::string& text) {
        std::ofstream(name, std::ios::binary) << text;
    };
    write(dir + "/hosts", net.hosts);
    write(dir + "/nsswitch.conf", "hosts: files\n");
    std::string script =
        "set -e\n"
        "ip link set lo up\n"
        "hostname '" + net.host + "'\n"
        "mount --bind '" + dir + "/hosts' /etc/hosts\n"
        "if [ -e /etc/nsswitch.conf ]; then mount --bind '" + dir + "/nsswitch.conf' /etc/nsswitch.conf; fi\n";
    for (const auto& line : net.setup) script += line + "\n";
    script += "exec \"$1\" \"$2\" --gtest_brief=1\n";
    write(dir + "/run.sh", script);

    char exe[4096] = "";
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len <= 0) {
        ADD_FAILURE() << "readlink /proc/self/exe";
        return false;
    }
    exe[len] = 0;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setenv(outer_env, netns_id().c_str(), 1);
        const std::string run = dir + "/run.sh";
        execlp("unshare", "unshare", "--net", "--uts", "--mount", "sh", run.c_str(), exe, filter.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run inside the namespace failed";
    return false;
}

}  // namespace lbtest

#endif
