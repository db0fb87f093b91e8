// Scoring and advice: the dataset-wide components, the per-target and
// overall breakdowns and scores, and the recommendations.
#pragma once

#include "../profile/analysis.hpp"

namespace tamsel::scoring {

using profile::Analysis;

void score_components(Analysis& a);  // the ten shared components, high_card
void suitability(Analysis& a);       // breakdowns, scores
void recommendations(Analysis& a);   // recs

}  // namespace tamsel::scoring
