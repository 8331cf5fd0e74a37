#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/chase.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

namespace ch = kavrel_ops::application::linalg::svd::bidiagonal_qr::chase;
using kavrel::domain::error::InternalError;

static_assert(ch::Direction<ch::Up> && ch::Direction<ch::Down> && !ch::Direction<int>);

TEST(ChaseTest, BlocksHaveTwoRowsInsideTheirBuffers) {
    std::vector<double> d(4), e(3);
    EXPECT_THROW((void)ch::OrientedBlock::of(d, e, 2, 2), InternalError);
    EXPECT_THROW((void)ch::OrientedBlock::of(d, e, 0, 4), InternalError);
    std::vector<double> short_e(2);
    EXPECT_THROW((void)ch::OrientedBlock::of(d, short_e, 0, 3), InternalError);
}

}  // namespace
