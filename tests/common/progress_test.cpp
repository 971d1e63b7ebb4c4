#include "norvan/common/progress.hpp"

#include <gtest/gtest.h>

using norvan::progress_text;
using Seconds = std::chrono::duration<double>;

TEST(ProgressText, ShowsBytesRateAndTimeLeft) {
  constexpr std::uint64_t MiB = 1 << 20;
  EXPECT_EQ(progress_text("Signing", 1536 * MiB, 4096 * MiB, Seconds(5)),
            "Signing: 1.5 GiB of 4.0 GiB (37%), 307.2 MiB/s, 0:09 left");
  EXPECT_EQ(progress_text("Reading", 100 * MiB, std::nullopt, Seconds(5)), "Reading: 100.0 MiB, 20.0 MiB/s");
  // Nothing measured yet: no rate, no estimate.
  EXPECT_EQ(progress_text("Signing", 0, 4096 * MiB, Seconds(0)), "Signing: 0 B of 4.0 GiB (0%)");
  EXPECT_EQ(progress_text("Signing", MiB, 3601 * MiB, Seconds(1)), "Signing: 1.0 MiB of 3.5 GiB (0%), 1.0 MiB/s, 1:00:00 left");
  // A file that grew while it was read: never over 100 %, no negative time.
  EXPECT_EQ(progress_text("Signing", 2 * MiB, MiB, Seconds(1)), "Signing: 2.0 MiB of 1.0 MiB (100%), 2.0 MiB/s");
}
