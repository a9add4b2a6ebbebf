// projection.h: places nodes of any number of coordinate dimensions on a
// plane so that distances between them change as little as possible.
//
// The plane is spanned by the two principal axes of the points (for
// Euclidean coordinates this is classical multidimensional scaling): the
// distances in the picture are the true distances with the remaining axes
// left out, never stretched.
#ifndef ORVEL_TOOLS_PELMMON_PROJECTION_H_
#define ORVEL_TOOLS_PELMMON_PROJECTION_H_

#include <cstddef>
#include <utility>
#include <vector>

namespace pelmmon {

struct Projection {
  std::vector<std::pair<double, double>> xy;  // one per input point, same order
  size_t dims = 0;                            // dimensions of the widest point
  double kept = 1.0;  // share of the total spread (variance) the plane holds
};

// Projects the points.  A point with fewer dimensions than the widest one is
// taken at the mean of the others in the dimensions it lacks, so it neither
// pulls the picture nor is left out.  Deterministic: the same points give
// the same picture (axis signs are fixed).
Projection ProjectToPlane(const std::vector<std::vector<double>>& points);

// Euclidean distance over the dimensions both points have, as the directory
// agent measures "nearest".
double SharedDistance(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace pelmmon

#endif  // ORVEL_TOOLS_PELMMON_PROJECTION_H_
