// This file contains the in-process test of the output capture on Windows:
// what the program writes through the C library reaches the pane's queue
// byte for byte, as the console would have received it (text mode's line
// ends), each stream apart, and standard output is its own again afterwards.
#include <gtest/gtest.h>

#include <io.h>
#include <windows.h>

#include <atomic>

#include "output_capture.h"

namespace {

std::atomic<int> notifications;

}  // namespace

TEST(OutputCapture, QueuesEachStreamAsWrittenAndGivesTheDescriptorsBack)
{
    HANDLE before = reinterpret_cast<HANDLE>(_get_osfhandle(1));
    DWORD typeBefore = GetFileType(before);
    ASSERT_TRUE(captureStart([] { ++notifications; }, nullptr));
    EXPECT_NE(reinterpret_cast<HANDLE>(_get_osfhandle(1)), before);
    printf("line %d\n", 1);
    fprintf(stderr, "a failure\n");
    printf("Gr\xc3\xbc\xc3\x9f" "e, no line end");
    captureStop();

    std::string out, err;
    for (const CapturedText& text : captureTake(false))
        (text.error ? err : out) += text.bytes;
    EXPECT_EQ(out, "line 1\r\nGr\xc3\xbc\xc3\x9f" "e, no line end");
    EXPECT_EQ(err, "a failure\r\n");
    EXPECT_GE(notifications.load(), 1);
    EXPECT_EQ(GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(1))), typeBefore);
    EXPECT_EQ(printf("\n"), 1);
}
