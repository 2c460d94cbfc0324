#include "test_support.h"

#include "brindlex.h"

#include <utility>

namespace {

DeviceList *watchedList = nullptr;
std::vector<std::pair<int32_t, int32_t>> calls;
std::vector<int32_t> countAtCall;

void RecordCall(int32_t reason, int32_t id)
{
    calls.emplace_back(reason, id);
    countAtCall.push_back(watchedList != nullptr ? watchedList->count : -1);
}

class Announcement : public LoadedLibrary {
protected:
    DeviceList list{};
    void SetUp() override
    {
        LoadedLibrary::SetUp();
        calls.clear();
        countAtCall.clear();
        for (int32_t &id : list.ids) {
            id = -5;
        }
        list.count = 3;
        watchedList = &list;
    }
};

std::vector<std::pair<int32_t, int32_t>> EightArrivals()
{
    std::vector<std::pair<int32_t, int32_t>> expected;
    for (int32_t id = 1; id <= 8; ++id) {
        expected.emplace_back(1, id);
    }
    return expected;
}

} // namespace

TEST_F(Announcement, FillsTheWholeListBeforeAnnouncingEachIdInOrder)
{
    LWZ_SET_NOTIFY(RecordCall, &list);
    EXPECT_EQ(list.count, 8);
    for (int32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(list.ids[i], i + 1);
    }
    for (int32_t i = 8; i < 16; ++i) {
        EXPECT_EQ(list.ids[i], -5) << "entries past the ids are left as they were";
    }
    EXPECT_EQ(calls, EightArrivals());
    EXPECT_EQ(countAtCall, std::vector<int32_t>(8, 8));
    EXPECT_TRUE(fakePort.writes.empty());
}

TEST_F(Announcement, AgainGivesTheSameListAndEightMoreCalls)
{
    LWZ_SET_NOTIFY(RecordCall, &list);
    LWZ_SET_NOTIFY(RecordCall, &list);
    EXPECT_EQ(list.count, 8);
    EXPECT_EQ(calls.size(), 16U);
    EXPECT_EQ(std::vector(calls.begin() + 8, calls.end()), EightArrivals());
}

TEST_F(Announcement, ALargeEarlierCountIsResetAndRefilled)
{
    list.count = 16;
    LWZ_SET_NOTIFY(RecordCall, &list);
    EXPECT_EQ(list.count, 8);
    list.count = 1000;
    LWZ_SET_NOTIFY(RecordCall, &list);
    EXPECT_EQ(list.count, 8);
    EXPECT_EQ(list.ids[7], 8);
}

TEST_F(Announcement, AClosedLinkGivesAnEmptyListAndNoCall)
{
    Load(PORT_STEP_OPEN);
    list.count = 20;
    LWZ_SET_NOTIFY(RecordCall, &list);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.ids[0], -5);
    EXPECT_TRUE(calls.empty());
}

TEST_F(Announcement, ANullListWritesNothingAndCallsNothing)
{
    LWZ_SET_NOTIFY(RecordCall, nullptr);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(fakePort.writes.empty());
}

TEST_F(Announcement, ANullCallbackStillFillsTheList)
{
    LWZ_SET_NOTIFY(nullptr, &list);
    EXPECT_EQ(list.count, 8);
    EXPECT_EQ(list.ids[0], 1);
    EXPECT_EQ(list.ids[7], 8);
}

TEST_F(Announcement, TheIgnoredExportsChangeNothingAndSendNothing)
{
    LWZ_SBA(2, 0x12, 0x34, 0x56, 0x78);
    const Bytes levels(32, 0x42);
    LWZ_PBA(7, levels.data());
    fakePort.writes.clear();
    const Tables before = Snapshot();

    // Called through other signatures, as hosts do; the caller cleans up.
    using Wide = void (*)(void *, void *, int32_t, int32_t, int32_t, int32_t);
    for (int i = 0; i < 100; ++i) {
        LWZ_SET_NOTIFY_EX();
        LWZ_REGISTER();
        reinterpret_cast<Wide>(&LWZ_SET_NOTIFY_EX)(&list, reinterpret_cast<void *>(RecordCall), 1, 2, 3, 4);
        reinterpret_cast<Wide>(&LWZ_REGISTER)(&list, nullptr, -1, 0, 9, i);
    }
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(fakePort.writes.empty());
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(list.count, 3);
    EXPECT_EQ(list.ids[0], -5);
    EXPECT_TRUE(IsLinkOpen());
}
