// The check of texts taken from USB messages: lengths, letters for commands,
// printable ASCII for everything else, and the kind names in its lines.
#include "LogCapture.h"
#include "VHArgumentCheck.h"

#include <gtest/gtest.h>

#include <string>

TEST(ArgumentCheck, AcceptsAndRefusesWithTheReasonLogged) {
    struct Case {
        std::string argument;
        int kind;
        bool accepted;
        const char* line; // the rejection line, "" when accepted
    } cases[] = {
        {std::string(3072, 'a'), VHArgDevAddress, true, ""},
        {std::string(3073, 'a'), VHArgDevAddress, false,
         "Rejecting potentially corrupted input, length 3073, argument: dev-address"},
        {std::string(3073, 'a'), VHArgCommand, false,
         "Rejecting potentially corrupted input, length 3073, argument: command"},
        {"LIST", VHArgCommand, true, ""},
        {"LIST1", VHArgCommand, false,
         "Rejecting potentially corrupted input, command at postion 4 not an alphabetic letter."},
        {"GET CLIENT STATE", VHArgCommand, false,
         "Rejecting potentially corrupted input, command at postion 3 not an alphabetic letter."},
        {std::string(32, 'x'), VHArgCommand, true, ""},
        {std::string(33, 'x'), VHArgCommand, false,
         "Rejecting potentially corrupted input, command length suspicious: 33 bytes."},
        {"/dev/\tusb", VHArgDevPath, false,
         "Rejecting potentially corrupted input, invalid character at postion 5, argument: dev-path"},
        {"caf\xe9", VHArgUsbPrettyName, false,
         "Rejecting potentially corrupted input, invalid character at postion 3, argument: usb-pretty-name"},
        {"a\x7f", VHArgServerName, false,
         "Rejecting potentially corrupted input, invalid character at postion 1, argument: server-name"},
        {"~ !", VHArgClientIp, true, ""},
        {"x\n", 0, false, "Rejecting potentially corrupted input, invalid character at postion 1, argument: unspecified"},
        {"x\n", 11, false,
         "Rejecting potentially corrupted input, invalid character at postion 1, argument: unspecified"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        EXPECT_EQ(validateVHArgument(c.argument, c.kind), c.accepted) << c.line;
        if (c.accepted) {
            EXPECT_TRUE(log.lines().empty());
        } else {
            ASSERT_EQ(log.lines().size(), 1u) << c.line;
            EXPECT_EQ(log.lines()[0].text, c.line);
            EXPECT_EQ(log.lines()[0].priority, 3); // error
        }
    }
}

TEST(ArgumentCheck, EmptyTextPassesForEveryKind) {
    for (int kind = -1; kind <= 12; ++kind) EXPECT_TRUE(validateVHArgument("", kind)) << kind;
}

TEST(ArgumentCheck, KindNames) {
    const char* names[] = {"unspecified", "command",  "dev-address", "product-id",        "vendor-id",
                           "dev-path",    "usb-pretty-name", "conn-id", "client-ip", "disconnect-reason",
                           "server-name", "unspecified"};
    for (int kind = 0; kind <= 11; ++kind) EXPECT_EQ(vhArgumentName(kind), names[kind]) << kind;
}
