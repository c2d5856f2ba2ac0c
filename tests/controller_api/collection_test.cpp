// The controller collection: positions, keys, opening and closing.
#include <set>

#include "CVantrelControllers.h"
#include "controller_fixture.h"

namespace {

using board_simulator::BoardDescription;
using test_support::boardWithSerial;
using test_support::SimulatedBoards;

class Collection : public ::testing::Test {
protected:
    void TearDown() override { CloseAllDevices(nullptr); }
};

std::vector<std::string> serialsByPosition(CVantrelControllers& controllers) {
    std::vector<std::string> serials;
    for (int position = 0; position < controllers.m_count; ++position) {
        CVantrelController* controller = controllers.GetController(position);
        serials.push_back(controller != nullptr ? controller->GetSerialString(false) : "<none>");
    }
    return serials;
}

TEST_F(Collection, PositionsFollowTheLibrarysHandleList) {
    SimulatedBoards boards({boardWithSerial("A"), boardWithSerial("B"), boardWithSerial("C")});
    CVantrelControllers controllers;
    EXPECT_EQ(controllers.m_count, 0);
    ASSERT_TRUE(controllers.Open());
    EXPECT_EQ(controllers.m_count, 3);
    EXPECT_EQ(serialsByPosition(controllers), (std::vector<std::string>{"C", "B", "A"}));
    for (int position = 0; position < 3; ++position) {
        EXPECT_EQ(controllers.GetController(position)->Handle(), ClaimedDeviceAt(static_cast<DWORD>(position + 1)));
    }
    for (int outside : {-1, -7, 3, 4}) EXPECT_EQ(controllers.GetController(outside), nullptr) << outside;
}

TEST_F(Collection, BoardsWithTheSameKeyShareTheLaterController) {
    SimulatedBoards boards({boardWithSerial(""), boardWithSerial(""), boardWithSerial("X")});
    CVantrelControllers controllers;
    ASSERT_TRUE(controllers.Open());
    EXPECT_EQ(controllers.m_count, 3);
    CVantrelController* first = controllers.GetController(1);
    CVantrelController* second = controllers.GetController(2);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    // The later one is the controller made for the later handle.
    EXPECT_EQ(second->Handle(), ClaimedDeviceAt(3));
    EXPECT_NE(controllers.GetController(0), first);
}

TEST_F(Collection, ASecondOpenChangesNothing) {
    SimulatedBoards boards({boardWithSerial("A"), boardWithSerial("B")});
    CVantrelControllers controllers;
    ASSERT_TRUE(controllers.Open());
    CVantrelController* before = controllers.GetController(0);
    boards.simulator().unplug(1);
    EXPECT_TRUE(controllers.Open());
    EXPECT_EQ(controllers.m_count, 2);
    EXPECT_EQ(controllers.GetController(0), before);
}

TEST_F(Collection, CloseShutsTheLibraryDownAndKeepsTheCount) {
    SimulatedBoards boards({boardWithSerial("A"), boardWithSerial("B")});
    CVantrelControllers controllers;
    ASSERT_TRUE(controllers.Open());
    DeviceHandle handle = ClaimedDeviceAt(1);
    controllers.Close();
    EXPECT_FALSE(IsDeviceHandleValid(handle));
    EXPECT_EQ(controllers.m_count, 2);
    EXPECT_EQ(controllers.GetController(0), nullptr);
    EXPECT_EQ(controllers.GetController(1), nullptr);
    controllers.Close();

    // A closed collection opens again.
    ASSERT_TRUE(controllers.Open());
    EXPECT_EQ(serialsByPosition(controllers), (std::vector<std::string>{"B", "A"}));
}

TEST_F(Collection, OpenWithoutBoardsFails) {
    SimulatedBoards boards({});
    CVantrelControllers controllers;
    EXPECT_FALSE(controllers.Open());
    EXPECT_EQ(controllers.m_count, 0);
    EXPECT_EQ(controllers.GetController(0), nullptr);
}

TEST_F(Collection, ACollectionThatNeverOpenedLeavesTheLibraryAlone) {
    SimulatedBoards boards({boardWithSerial("A")});
    DeviceHandle handle = OpenAllDevices();
    ASSERT_NE(handle, nullptr);
    {
        CVantrelControllers controllers;
        EXPECT_EQ(controllers.m_count, 1);
    }
    EXPECT_TRUE(IsDeviceHandleValid(handle));
}

TEST_F(Collection, MoreThanThirtyTwoBoardsGiveThirtyTwoControllers) {
    std::vector<BoardDescription> descriptions;
    for (int i = 0; i < 34; ++i) descriptions.push_back(boardWithSerial("S" + std::to_string(i)));
    SimulatedBoards boards(descriptions);
    CVantrelControllers controllers;
    ASSERT_TRUE(controllers.Open());
    EXPECT_EQ(controllers.m_count, 32);
    std::set<CVantrelController*> distinct;
    for (int position = 0; position < 32; ++position) distinct.insert(controllers.GetController(position));
    EXPECT_EQ(distinct.size(), 32u);
    EXPECT_EQ(distinct.count(nullptr), 0u);
}

}  // namespace
