// What qorda-policy prints: findings of a snapshot check, and the reasons for
// one decision, as text lines or as JSON.
#pragma once

#include "policy/policy_evaluation.h"
#include "policy/policy_snapshot.h"

#include <string>
#include <vector>

namespace qorda::tools {

std::string checkReportText(const std::vector<SnapshotFinding>& findings);
std::string checkReportJson(const std::vector<SnapshotFinding>& findings, const AppGroupPolicy& policy);

std::string explanationText(const PolicyExplanation& explanation);
std::string explanationJson(const PolicyExplanation& explanation);

}  // namespace qorda::tools
