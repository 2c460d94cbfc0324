#include "test_support.h"

#include "brindlex.h"

namespace {

class OpenSequence : public LoadedLibrary, public ::testing::WithParamInterface<PortStep> {};

void FillTables()
{
    for (int index = 0; index < OUTPUT_COUNT; ++index) {
        outputStates[index] = 1;
        outputLevels[index] = 0x77;
    }
}

} // namespace

TEST_F(LoadedLibrary, ASuccessfulOpenRunsEveryStepInOrderAndKeepsTheHandle)
{
    const std::vector<PortStep> expected{PORT_STEP_OPEN, PORT_STEP_READ_LINE, PORT_STEP_WRITE_LINE,
                                         PORT_STEP_READ_TIMING, PORT_STEP_WRITE_TIMING};
    EXPECT_EQ(fakePort.stepsRun, expected);
    EXPECT_TRUE(IsLinkOpen());
    EXPECT_EQ(linkHandles[0], FAKE_HANDLE);
    EXPECT_EQ(fakePort.closes, 0);
    EXPECT_TRUE(fakePort.writes.empty()) << "nothing is sent while opening";
}

TEST_P(OpenSequence, AFailedStepClosesTheHandleOnceAndLeavesTheLinkClosed)
{
    FillTables();
    const PortStep failing = GetParam();
    Load(failing);

    EXPECT_FALSE(IsLinkOpen());
    EXPECT_EQ(linkHandles[0], INVALID_LINK_HANDLE);
    EXPECT_EQ(fakePort.stepsRun.back(), failing) << "no step runs after the failing one";
    // A failed open has no handle to close; a later step closes the one it got.
    EXPECT_EQ(fakePort.closes, failing == PORT_STEP_OPEN ? 0 : 1);
    if (failing != PORT_STEP_OPEN) {
        EXPECT_EQ(fakePort.lastClosed, FAKE_HANDLE);
    }
    EXPECT_EQ(Snapshot(), Tables{}) << "tables are reset whether or not the port opens";

    CloseLink();
    EXPECT_EQ(fakePort.closes, failing == PORT_STEP_OPEN ? 0 : 1) << "unload closes nothing more";
    EXPECT_TRUE(fakePort.writes.empty());
}

TEST_P(OpenSequence, TheCheckToolSeesWhichStepFailed)
{
    ResetFakePort(GetParam());
    LinkHandle handle = FAKE_HANDLE;
    const PortResult result = OpenAndConfigurePort(PortName(), &handle);
    EXPECT_EQ(result.failedStep, GetParam());
    EXPECT_EQ(result.errorCode, 5U);
    EXPECT_EQ(handle, INVALID_LINK_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(EachStep, OpenSequence,
                         ::testing::Values(PORT_STEP_OPEN, PORT_STEP_READ_LINE,
                                           PORT_STEP_WRITE_LINE, PORT_STEP_READ_TIMING,
                                           PORT_STEP_WRITE_TIMING));

TEST_F(LoadedLibrary, UnloadClosesTheOpenLinkExactlyOnce)
{
    FillTables();
    CloseLink();
    EXPECT_EQ(fakePort.closes, 1);
    EXPECT_EQ(fakePort.lastClosed, FAKE_HANDLE);
    EXPECT_FALSE(IsLinkOpen());
    CloseLink();
    EXPECT_EQ(fakePort.closes, 1);
    // The mirror is not cleared at unload.
    EXPECT_EQ(outputStates[100], 1);
    EXPECT_TRUE(fakePort.writes.empty()) << "nothing is sent while closing";
}

TEST_F(LoadedLibrary, ReloadingResetsTheTablesAndOpensAgain)
{
    LWZ_SBA(4, 0xFF, 0xFF, 0xFF, 0xFF);
    Load();
    EXPECT_EQ(Snapshot(), Tables{});
    EXPECT_TRUE(IsLinkOpen());
    EXPECT_EQ(fakePort.opens, 1);
}

TEST_F(LoadedLibrary, SendBankWritesOnlyWhileTheLinkIsOpen)
{
    SendBank(CMD_SET_LEVELS, 96);
    ASSERT_EQ(fakePort.writes.size(), 1U);
    EXPECT_EQ(fakePort.writes[0], ExpectedCommand(0x03, 96, Repeat(0, 32)));

    CloseLink();
    SendBank(CMD_SET_LEVELS, 96);
    EXPECT_EQ(fakePort.writes.size(), 1U);
}

TEST_F(LoadedLibrary, TheLineTheDriverAppliedOutlivesTheLaterSteps)
{
    ResetFakePort();
    fakePort.applied = LineReport{true, 255319, 8, false, 2, false};
    LinkHandle handle = INVALID_LINK_HANDLE;
    const PortResult result = OpenAndConfigurePort(PortName(), &handle);
    ASSERT_EQ(result.failedStep, PORT_STEP_NONE);
    EXPECT_TRUE(result.line.known);
    EXPECT_EQ(result.line.baudRate, 255319U);
    EXPECT_EQ(result.line.stopBits, 2);
    PortClose(handle);
}
