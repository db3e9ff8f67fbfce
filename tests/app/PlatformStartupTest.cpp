// The Hyper-V guest test on a made-up system tree, the process job (no
// descendant outlives it) and the list of supported encodings.
#include "DecoderStartup.h"
#include "JobObject.h"
#include "LogCapture.h"
#include "StartClient.h"
#include "TestPaths.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace {

void writeSysfs(const TempDir& root, const std::string& relative, const std::string& text) {
    const std::string path = root.file(relative);
    Poco::File(path.substr(0, path.rfind('/'))).createDirectories();
    writeTextFile(path, text + "\n");
}

void pciDevice(const TempDir& root, const std::string& slot, const std::string& pciClass, const std::string& vendor) {
    writeSysfs(root, "sys/bus/pci/devices/" + slot + "/class", pciClass);
    writeSysfs(root, "sys/bus/pci/devices/" + slot + "/vendor", vendor);
    writeSysfs(root, "sys/bus/pci/devices/" + slot + "/device", "0x5353");
}

} // namespace

TEST(HyperVGuest, SysfsTable) {
    struct Case {
        const char* what;
        void (*build)(const TempDir&);
        bool expected;
    } cases[] = {
        {"empty tree", [](const TempDir&) {}, false},
        {"Hyper-V PCI video", [](const TempDir& r) { pciDevice(r, "0000:00:08.0", "0x030000", "0x1414"); }, true},
        {"other display vendor", [](const TempDir& r) { pciDevice(r, "0000:00:02.0", "0x030000", "0x8086"); }, false},
        {"Microsoft device that is no display",
         [](const TempDir& r) { pciDevice(r, "0000:00:0a.0", "0x020000", "0x1414"); }, false},
        {"generation 2 machine (DMI)",
         [](const TempDir& r) {
             writeSysfs(r, "sys/class/dmi/id/sys_vendor", "Microsoft Corporation");
             writeSysfs(r, "sys/class/dmi/id/product_name", "Virtual Machine");
         },
         true},
        {"Microsoft hardware that is no virtual machine",
         [](const TempDir& r) {
             writeSysfs(r, "sys/class/dmi/id/sys_vendor", "Microsoft Corporation");
             writeSysfs(r, "sys/class/dmi/id/product_name", "Surface Laptop");
         },
         false},
    };
    for (const Case& c : cases) {
        TempDir root;
        c.build(root);
        LogCapture log("debug");
        EXPECT_EQ(isHyperVGuestAt(root.path()), c.expected) << c.what;
        EXPECT_EQ(log.contains("Unsupported configuration, running client on Hyper-V"), c.expected) << c.what;
    }
}

TEST(ProcessJob, NoDescendantOutlivesTheJob) {
    JobObject job = createJobObject();
    ASSERT_TRUE(setJobObjectKillOnClose(job));
    ASSERT_TRUE(assignProcessToJobObject(job));

    // A child in its own group that leaves an orphan behind: the orphan is
    // re-parented to us and must end with the job all the same.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prepareJobChild();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::pause();
            ::_exit(0);
        }
        [[maybe_unused]] ssize_t n = ::write(pipeFds[1], &grandchild, sizeof grandchild);
        ::_exit(0);
    }
    pid_t orphan = 0;
    ASSERT_EQ(::read(pipeFds[0], &orphan, sizeof orphan), static_cast<ssize_t>(sizeof orphan));
    ::waitpid(child, nullptr, 0);
    ASSERT_EQ(::kill(orphan, 0), 0) << "the orphan runs";

    terminateJobProcesses();
    EXPECT_NE(::kill(orphan, 0), 0) << "the orphan was ended and collected";
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(SupportedEncodingSpecs, FirstSeenOrderWithoutDuplicates) {
    supportedEncodingSpecs.clear();
    collectSupportedEncodingSpecs({{0, 0, 8}, {1, 0, 8}, {0, 0, 8}, {0, 6, 8}, {1, 0, 8}, {0, 0, 10}});
    const std::vector<qor::VideoEncodingSpec> expected{{0, 0, 8}, {1, 0, 8}, {0, 6, 8}, {0, 0, 10}};
    EXPECT_EQ(supportedEncodingSpecs, expected);
}
