// Server processes of a service account: the resource observer runs as root with the identity
// check on, and the registry names the group whose members it serves. Users and groups made for
// the test.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/helpers/ResourceObserverDaemon.h"
#include "tests/helpers/StandIns.h"

namespace {

using qntest::ChildProcess;

// A group, a user in it (by a supplementary membership: its primary group is its own) and a user
// outside it, removed again at the end.
class ServiceAccounts : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string suffix = std::to_string(::getpid());
        m_group = "qnsvc" + suffix;
        m_member = "qnapp" + suffix;
        m_outsider = "qnout" + suffix;
        if (!Run("groupadd " + m_group) || !Run("useradd --no-create-home --user-group --groups " + m_group + " " + m_member) ||
            !Run("useradd --no-create-home --user-group " + m_outsider))
            GTEST_SKIP() << "can't make users and groups (groupadd/useradd as root)";
        m_installation.Set("ResourceObserverGroup", m_group);
    }
    void TearDown() override
    {
        for (const std::string& user : {m_member, m_outsider})
            Run("userdel " + user);
        Run("groupdel " + m_group);
    }

    static bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

    // What runs a program as `user`, with the groups /etc/group gives the user.
    static std::vector<std::string> As(const std::string& user) { return {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user, "--init-groups"}; }
    static std::vector<std::string> ServerAs(const std::string& user)
    {
        auto command = As(user);
        command.insert(command.end(), {QN_MONITORED_SERVER, "--interval", "2"});
        return command;
    }

    qntest::TestInstallation m_installation{qntest::kIdentityChecked};
    std::string m_group, m_member, m_outsider;
};

TEST_F(ServiceAccounts, AServerOfTheGroupReportsAndOneOutsideIsRefusedAndStoresNothing)
{
    qntest::ResourceObserverDaemon daemon;
    struct stat socket {};
    ASSERT_EQ(::stat(m_installation.SocketPath().c_str(), &socket), 0);
    const group* named = ::getgrnam(m_group.c_str());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(socket.st_gid, named->gr_gid) << "the socket is the group's";
    EXPECT_EQ(socket.st_mode & 0777, 0660u);

    ChildProcess outsider(ServerAs(m_outsider));
    ChildProcess member(ServerAs(m_member));
    ASSERT_EQ(member.ReadLine(), "started running=1");
    EXPECT_EQ(daemon.AwaitCount("qn_process_data_current{pid=\"" + std::to_string(member.Pid()) + "\"", 1), 1) << "the member's samples arrive";

    EXPECT_EQ(qntest::Probe({}, As(m_outsider)), "create 0x80070005 call 0x80004005") << "refused as access denied";
    EXPECT_EQ(daemon.CountMetrics("qn_process_data_current{pid=\"" + std::to_string(outsider.Pid()) + "\""), 0) << "nothing of the outsider stored";
}

}  // namespace
