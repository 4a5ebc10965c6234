#include "policy_cache.h"

#include <new>

namespace qorda {
namespace {

const AppGroupPolicy& reuse(PolicyCache& cache) {
  // A one-shot host never pays for an index; a long-lived one builds it once
  // the snapshot has served a second message.
  if (!cache.reused) indexPolicy(cache.policy);
  cache.reused = true;
  return cache.policy;
}

const AppGroupPolicy& load(PolicyCache& cache) {
  if (cache.loaded && cache.version && isPolicySnapshotUnchanged(*cache.version)) return reuse(cache);
  PublishedSnapshot published = readPolicySnapshot();
  if (!published.text) {
    cache = {};
    return cache.policy;
  }
  if (cache.loaded && snapshotTextOf(cache.policy) == *published.text) {
    cache.version = published.version;
    return reuse(cache);
  }
  cache = {};
  cache.policy = policyFromSnapshotText(std::move(*published.text));
  cache.version = published.version;
  cache.loaded = true;
  return cache.policy;
}

}  // namespace

const AppGroupPolicy& currentPolicy(PolicyCache& cache) {
  try {
    return load(cache);
  } catch (const std::bad_alloc&) {
    // A snapshot too large for memory is no policy, never an abort.
    cache = {};
    return cache.policy;
  }
}

}  // namespace qorda
