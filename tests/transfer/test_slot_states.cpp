// The slots' transition tables driven through their events without any connection: the path of
// every conversation, and the events that do not apply leaving the state alone.
#include "transfer/SlotStates.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using RS = ReceiveState;
using RE = ReceiveEvent;
using SS = SendState;
using SE = SendEvent;

TEST(SlotStates, ReceivePathsThroughTheTable)
{
    struct Step {
        RE event;
        RS after;
    };
    const std::vector<std::vector<Step>> paths = {
        // A file arrives.
        {{RE::Welcome, RS::Greeted}, {RE::Request, RS::Receiving}, {RE::End, RS::Idle}},
        // A request refused as it reads (bad, login), or over the cap.
        {{RE::Welcome, RS::Greeted}, {RE::Refuse, RS::Closing}, {RE::End, RS::Idle}},
        // A request that reads, refused for its file (unsafe, being written, complete).
        {{RE::Welcome, RS::Greeted}, {RE::Request, RS::Receiving}, {RE::Refuse, RS::Closing}, {RE::End, RS::Idle}},
        // A caller gone before the request.
        {{RE::Welcome, RS::Greeted}, {RE::End, RS::Idle}},
    };
    for (size_t p = 0; p < paths.size(); ++p) {
        RS state = RS::Idle;
        for (const Step &step : paths[p]) {
            state = NextReceiveState(state, step.event);
            EXPECT_EQ(state, step.after) << "path " << p;
        }
    }
}

TEST(SlotStates, ReceiveEventsThatDoNotApplyChangeNothing)
{
    const struct {
        RS state;
        RE event;
    } cases[] = {
        {RS::Idle, RE::Request},      {RS::Idle, RE::Refuse},       {RS::Greeted, RE::Welcome},
        {RS::Receiving, RE::Welcome}, {RS::Receiving, RE::Request}, {RS::Closing, RE::Welcome},
        {RS::Closing, RE::Request},   {RS::Closing, RE::Refuse},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NextReceiveState(c.state, c.event), c.state) << static_cast<int>(c.state) << "/" << static_cast<int>(c.event);
}

TEST(SlotStates, SendPathsThroughTheTable)
{
    struct Step {
        SE event;
        SS after;
    };
    const std::vector<std::vector<Step>> paths = {
        // A file delivered.
        {{SE::Take, SS::Taken}, {SE::Connect, SS::Connecting}, {SE::Welcome, SS::Requested},
         {SE::Accept, SS::Sending}, {SE::AllSent, SS::AllSent}, {SE::End, SS::Finished}},
        // No address, a refusal, an error while sending: each ends where it stands.
        {{SE::Take, SS::Taken}, {SE::End, SS::Finished}},
        {{SE::Take, SS::Taken}, {SE::Connect, SS::Connecting}, {SE::Welcome, SS::Requested}, {SE::End, SS::Finished}},
        {{SE::Take, SS::Taken}, {SE::Connect, SS::Connecting}, {SE::Welcome, SS::Requested},
         {SE::Accept, SS::Sending}, {SE::End, SS::Finished}},
    };
    for (size_t p = 0; p < paths.size(); ++p) {
        SS state = SS::Finished;
        for (const Step &step : paths[p]) {
            state = NextSendState(state, step.event);
            EXPECT_EQ(state, step.after) << "path " << p;
        }
    }
}

TEST(SlotStates, SendEventsThatDoNotApplyChangeNothing)
{
    const struct {
        SS state;
        SE event;
    } cases[] = {
        {SS::Finished, SE::Connect}, {SS::Finished, SE::AllSent}, {SS::Taken, SE::Take},
        {SS::Taken, SE::Welcome},    {SS::Connecting, SE::Accept}, {SS::Requested, SE::Welcome},
        {SS::Sending, SE::Accept},   {SS::AllSent, SE::AllSent},   {SS::AllSent, SE::Take},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NextSendState(c.state, c.event), c.state) << static_cast<int>(c.state) << "/" << static_cast<int>(c.event);
}

} // namespace
