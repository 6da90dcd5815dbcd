#include "linux/home_owner.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const uid_t kOther = 65534;

class HomeOwnerTest : public testsupport::ScratchTest
{
protected:
    std::string homeStd() const { return home().toStdString(); }
    QString root() const { return home() + "/.Brisendale"; }
    static void giveAway(const QString& p)
    {
        ASSERT_EQ(::lchown(QFile::encodeName(p).constData(), kOther, kOther), 0);
    }
};

// Who owns what decides: a foreign home is refused untouched; U, or one entry the launcher
// makes in it, of another uid is moved to the first free ".foreign-<n>" name.
TEST_F(HomeOwnerTest, ForeignHomesAreRefusedAndForeignFoldersMovedAside)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to another uid";
    struct Row
    {
        const char* name;
        const char* foreign; // relative to home; "" none
        HomeOwner::Verdict verdict;
        const char* movedTo; // relative to home
    };
    for (const Row& row : {
             Row{"nothing of another user", "", HomeOwner::Verdict::Ours, ""},
             Row{"the home", ".", HomeOwner::Verdict::ForeignHome, ""},
             Row{"U itself", ".Brisendale", HomeOwner::Verdict::MovedAside,
                 ".Brisendale.foreign-2"},
             Row{"the log", ".Brisendale/log/launcher.log", HomeOwner::Verdict::MovedAside,
                 ".Brisendale.foreign-2"},
             Row{"the lock", ".Brisendale/launcher.lock", HomeOwner::Verdict::MovedAside,
                 ".Brisendale.foreign-2"},
             Row{"a file in A", ".Brisendale/Brisendale.app/INFO", HomeOwner::Verdict::MovedAside,
                 ".Brisendale.foreign-2"},
             Row{"deeper in A (not looked at)", ".Brisendale/Brisendale.app/bin/x",
                 HomeOwner::Verdict::Ours, ""},
         }) {
        SCOPED_TRACE(row.name);
        QDir(home()).removeRecursively();
        testsupport::writeFile(root() + "/log/launcher.log", "log\n");
        testsupport::writeFile(root() + "/launcher.lock", "");
        testsupport::writeFile(root() + "/Brisendale.app/INFO", "info\n");
        testsupport::writeFile(root() + "/Brisendale.app/bin/x", "x\n");
        // A name taken already: the next one is chosen.
        testsupport::writeFile(home() + "/.Brisendale.foreign-1", "taken\n");
        if (*row.foreign)
            giveAway(home() + "/" + row.foreign);
        const HomeOwner::Outcome out = HomeOwner::Check(homeStd(), ::geteuid());
        EXPECT_EQ(out.verdict, row.verdict) << out.why;
        if (*row.movedTo) {
            EXPECT_EQ(out.moved_to, homeStd() + "/" + row.movedTo);
            EXPECT_FALSE(QFileInfo::exists(root()));
            EXPECT_EQ(testsupport::readFile(home() + "/" + row.movedTo + "/log/launcher.log"),
                      "log\n");
        } else {
            EXPECT_TRUE(out.moved_to.empty());
            EXPECT_TRUE(QFileInfo::exists(root() + "/log/launcher.log"));
        }
        EXPECT_EQ(testsupport::readFile(home() + "/.Brisendale.foreign-1"), "taken\n");
        EXPECT_EQ(out.why.empty(), row.verdict == HomeOwner::Verdict::Ours) << out.why;
    }
}

TEST_F(HomeOwnerTest, MissingUIsLeftToBeMadePrivately)
{
    const HomeOwner::Outcome out = HomeOwner::Check(homeStd(), ::geteuid());
    EXPECT_EQ(out.verdict, HomeOwner::Verdict::Ours);
    EXPECT_FALSE(QFileInfo::exists(root()));
    const mode_t old = ::umask(0);
    ASSERT_EQ(HomeOwner::MakePrivateUserRoot(root().toStdString()), 0);
    ::umask(old);
    for (const QString& dir : {root(), root() + "/log"}) {
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(dir).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << dir.toStdString();
    }
    EXPECT_EQ(HomeOwner::Check(home().toStdString() + "/missing", ::geteuid()).verdict,
              HomeOwner::Verdict::ForeignHome);
}

} // namespace
