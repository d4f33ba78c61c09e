#include "pumpsetup/calibration.h"

#include <gtest/gtest.h>

#include "comm_fixture.h"
#include "common/numeric_text.h"

namespace quorvel {
namespace {

// The settings and calibration with the communication they queue their lines on.
struct Calibrating : testing::CommFixture {
    PumpConfig config;
};

TEST(Calibration, MunitLinesComeOutExactly) {
    const struct {
        int gearbox, pump;
        bool measured;
        const char* line;
    } cases[] = {
        {0, 1, false, "MUNIT=2432.00000000"},
        {1, 1, false, "MUNIT=5048.11523438"},  // the float ratio 9.859600067138672
        {0, 1, true, "MUNIT=2418.69709218"},
        {3, 0, false, "MUNIT=288800.00000000"},
        {2, 2, false, "MUNIT=1215.99999689"},  // size "625" divides by 628
    };
    for (const auto& k : cases) {
        Calibrating f;
        f.attach_pump();
        f.config.update([&](PumpSettings& s, PumpCalibration&) {
            s.gearbox = k.gearbox;
            s.pump = k.pump;
        });
        apply_calibration(f.config, f.comm, k.measured ? 1 : 0);
        EXPECT_EQ(*f.comm.pump.queue.pop(), "MSEL=256.00000000");
        EXPECT_EQ(*f.comm.pump.queue.pop(), k.line);
        EXPECT_TRUE(f.comm.pump.queue.empty());
    }
}

TEST(Calibration, FlowWindowBySize) {
    PumpSettings s;
    s.pump = 0;
    PumpCalibration c = calibrate(s, false, {});
    EXPECT_EQ(c.max_flow_ul_per_sec, 6.667);
    EXPECT_EQ(c.min_flow_ul_per_sec, 0.000003);
    EXPECT_EQ(format_fixed(c.max_flow_ul_per_min, 0, 2), "400.02");
    s.pump = 3;
    c = calibrate(s, false, {});
    EXPECT_EQ(c.min_flow_ul_per_sec, 0.00004166);
    s.pump = 2;
    EXPECT_GT(calibrate(s, false, {}).min_flow_ul_per_sec, c.min_flow_ul_per_sec);
}

TEST(Calibration, OutOfRangeIndicesKeepThePreviousValues) {
    const PumpCalibration before{1234.0, 5.0, 0.5, 0.0};
    PumpSettings s;
    s.pump = 9;
    const PumpCalibration c = calibrate(s, true, before);
    EXPECT_EQ(c.motor_units_per_ul, 1234.0);
    EXPECT_EQ(c.max_flow_ul_per_sec, 5.0);
    EXPECT_EQ(c.max_flow_ul_per_min, 300.0) << "the per-minute ceiling is always recomputed";
}

TEST(Calibration, ComputeQueuesNothingAndApplyWithoutPortOnlyUpdates) {
    Calibrating f;
    f.attach_pump();
    compute_calibration(f.config, 0);
    EXPECT_TRUE(f.comm.pump.queue.empty());
    EXPECT_EQ(f.config.calibration().motor_units_per_ul, 2432.0);

    Calibrating g;
    g.config.update([](PumpSettings& s, PumpCalibration&) {
        s.gearbox = 3;
        s.pump = 0;
    });
    apply_calibration(g.config, g.comm, 0);
    EXPECT_EQ(g.config.calibration().motor_units_per_ul, 288800.0);
    EXPECT_TRUE(g.listener.heard().empty());
    EXPECT_TRUE(g.comm.pump.queue.empty());
}

TEST(Units, Conversions) {
    EXPECT_DOUBLE_EQ(flow_to_ul_per_sec(10, VolumeUnit::Microliter, TimeUnit::Minute), 10.0 / 60.0);
    EXPECT_DOUBLE_EQ(flow_to_ul_per_sec(1, VolumeUnit::Milliliter, TimeUnit::Hour),
                     1000.0 / 3600.0);
    EXPECT_DOUBLE_EQ(flow_to_ul_per_sec(500, VolumeUnit::Nanoliter, TimeUnit::Second), 0.5);
    EXPECT_DOUBLE_EQ(volume_to_ul(2, VolumeUnit::Milliliter), 2000.0);
    EXPECT_DOUBLE_EQ(volume_to_ul(250, VolumeUnit::Nanoliter), 0.25);
    EXPECT_EQ(volume_to_ul(1, static_cast<VolumeUnit>(-1)), 0.0);
    EXPECT_EQ(flow_to_ul_per_sec(1, VolumeUnit::Microliter, static_cast<TimeUnit>(3)), 0.0);
}

}  // namespace
}  // namespace quorvel
