// The service's starter, vex-mpp-pipeline: the camera command's output is the
// program's standard input, and the program's exit status is the starter's
// (the service manager restarts on it).
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

TEST(Service, PipelineFeedsTheCameraCommandAndPassesTheExitStatusOn) {
    TestDir dir;
    const std::string stream = stream_path("h264_720p.h264");
    SimRunOpts o;
    o.exe = VEX_PIPELINE_EXE;
    o.env = {{"VEX_MPP", VEX_SIM_EXE}, {"VEX_CAMERA_CMD", "cat '" + stream + "'"}};
    o.timeout_s = 20;
    const SimRunResult played = sim_run(dir, o);

    o.env.push_back({"VEX_KMS_DECODER", "no_such_decoder"});
    const SimRunResult no_decoder = sim_run(dir, o);

    o.env = {{"VEX_MPP", VEX_SIM_EXE}};
    const SimRunResult unset = sim_run(dir, o);

    EXPECT_EQ(played.status, 0) << describe(played);
    EXPECT_EQ(sim_decoded(played), stream_frames("h264_720p.h264")) << describe(played);
    EXPECT_EQ(no_decoder.status, 1) << describe(no_decoder);
    EXPECT_EQ(unset.status, 1) << describe(unset);
    EXPECT_TRUE(has_line(unset.log, "VEX_CAMERA_CMD is not set")) << unset.log;
}
