// When a port counts as stuck: never while a USB adapter's driver holds its
// count still for whole transfers, and soon after a port really stops.
#include <gtest/gtest.h>

#include "line_wait.h"

namespace {

const long long kSecond = 1000000000;

TEST(StuckTime, IsTwoLargestAdapterTransfersAtTheRateAndNeverUnderASecond) {
    const std::pair<int, double> rates[] = {
        {1200, 9.387}, {2400, 4.693}, {4800, 2.347}, {9600, 1.173}, {19200, 1.0}};
    for (auto [rate, seconds] : rates) {
        EXPECT_NEAR(seconds, static_cast<double>(StuckNs(rate)) / kSecond, 0.001) << rate;
    }
}

TEST(StuckTime, AnAdapterThatMovesAWholeTransferAtATimeIsNeverStuck) {
    for (int rate : {1200, 2400, 19200}) {
        for (int step : {256, 512}) {
            const long long step_ns = LineNs(step, rate);
            Progress p = ProgressFrom(4096, 0);
            int queued = 4096;
            // The count stands still for a whole transfer, then drops by it;
            // the port is looked at every 50 ms meanwhile.
            for (long long now = 0; queued > 0; now += 50000000) {
                if (now / step_ns > (4096 - queued) / step) {
                    queued -= step;
                }
                ASSERT_FALSE(MovedNothing(&p, queued, now, rate))
                    << rate << " baud, " << step << "-byte steps, at " << now / 1e9 << " s";
            }
        }
    }
}

TEST(StuckTime, APortThatStopsIsStuckOnceTheStuckTimeHasPassed) {
    Progress p = ProgressFrom(300, 0);
    EXPECT_FALSE(MovedNothing(&p, 200, 5 * kSecond, 1200));
    EXPECT_FALSE(MovedNothing(&p, 200, 5 * kSecond + StuckNs(1200), 1200));
    EXPECT_TRUE(MovedNothing(&p, 200, 5 * kSecond + StuckNs(1200) + 1, 1200));
}

TEST(TransmitterTime, CoversWhatTheDeviceCanHoldAndNoMore) {
    EXPECT_LT(TransmitterNs(14, 19200), TransmitterNs(600, 19200));
    EXPECT_EQ(TransmitterNs(512, 1200), TransmitterNs(10019, 1200));
    EXPECT_GE(TransmitterNs(512, 1200), LineNs(512, 1200));
}

}  // namespace
