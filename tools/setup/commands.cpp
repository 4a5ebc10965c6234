#include "commands.h"

#include "report.h"
#include "signing.h"
#include "system.h"

#include <algorithm>
#include <ostream>

namespace qorda::setup {

namespace fs = std::filesystem;

namespace {

// Where the command works, resolved once from options and the machine.
struct Plan {
  std::vector<Target> targets;
  std::vector<Browser> browsers;  // those the targets belong to
};

// Several browsers can share a folder (Brave reads Chrome's): touch it once.
struct FolderJob {
  fs::path folder;
  std::vector<std::string> browsers;
};

// Prints the error, if any; true when there was none.
bool reported(const Error& error, std::ostream& err) {
  if (error) err << commandName << ": " << *error << "\n";
  return !error;
}

fs::path absoluteFromCwd(const std::string& path) {
  std::error_code ec;
  return fs::absolute(path, ec).lexically_normal();
}

bool isBrowserPresent(Browser browser, const fs::path& home) {
  for (const auto& path : presencePaths(browser, currentPlatform(), home))
    if (pathExists(path)) return true;
  for (auto program : browserExecutables(browser))
    if (isOnPath(program)) return true;
  return false;
}

Plan makePlan(const Options& options, const fs::path& home) {
  Selection selection{options.browsers, {}, options.system ? Level::system : Level::user};
  for (const auto& dir : options.userDataDirs) selection.userDataDirs.push_back(absoluteFromCwd(dir));
  Plan plan;
  plan.targets =
      planTargets(selection, currentPlatform(), home, [&](Browser b) { return isBrowserPresent(b, home); });
  if (!selection.userDataDirs.empty()) return plan;
  for (Browser browser : allBrowsers) {
    const auto label = std::string(browserLabel(browser));
    if (std::any_of(plan.targets.begin(), plan.targets.end(),
                    [&](const Target& t) { return t.browser == label; }))
      plan.browsers.push_back(browser);
  }
  return plan;
}

std::vector<FolderJob> folderJobs(const std::vector<Target>& targets) {
  std::vector<FolderJob> jobs;
  for (const auto& target : targets) {
    if (target.folder.empty()) continue;
    auto it = std::find_if(jobs.begin(), jobs.end(),
                           [&](const FolderJob& job) { return job.folder == target.folder; });
    if (it == jobs.end()) it = jobs.insert(jobs.end(), {target.folder, {}});
    if (std::find(it->browsers.begin(), it->browsers.end(), target.browser) == it->browsers.end())
      it->browsers.push_back(target.browser);
  }
  return jobs;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

std::vector<std::string> sandboxNotes(Browser browser, const fs::path& home) {
  std::vector<std::string> notes;
  std::vector<std::string_view> kinds;
  for (const auto& probe : sandboxProbes(browser, currentPlatform(), home)) {
    if (!pathExists(probe.path) || std::find(kinds.begin(), kinds.end(), probe.kind) != kinds.end()) continue;
    kinds.push_back(probe.kind);
    const std::string kind(probe.kind);
    notes.push_back(std::string(browserLabel(browser)) + " is installed as a " + kind + " (" +
                    probe.path.string() + "): that sandbox cannot start a native host; use a non-" + kind +
                    " build of the browser");
  }
  return notes;
}

// The host beside this program, else where the install rules put it
// (QORDA_HOST_FROM_BINDIR: the host's folder relative to this program's).
fs::path defaultHostPath(const fs::path& self) {
  const fs::path beside = hostBeside(self.parent_path());
  if (pathExists(beside)) return beside;
  return (self.parent_path() / QORDA_HOST_FROM_BINDIR / hostProgramName).lexically_normal();
}

// The host program the manifest will name; warnings go to err.
Result<fs::path> resolveHostPath(const Options& options, std::ostream& err) {
  fs::path host;
  if (!options.hostPath.empty())
    host = absoluteFromCwd(options.hostPath);
  else if (const auto self = selfExecutable())
    host = defaultHostPath(*self);
  else
    return {{}, "cannot tell where this program is; give --host-path"};
  if (!isValidUtf8(host.string())) return {{}, "the host path is not valid UTF-8: " + host.string()};
  // Every user's browser runs a system-wide host: only root may be able to replace it.
  if (options.system)
    if (auto error = checkOnlyRootCanReplace(host))
      return {{}, "refusing --system: " + *error + ", so another user could replace the host"};
  if (!isExecutableFile(host)) {
    if (!options.force)
      return {
          {},
          "no executable host at " + host.string() + " (give --host-path, or --force to register it anyway)"};
    err << "warning: no executable host at " << host.string() << "\n";
  }
  if (host.filename() != hostProgramName)
    err << "warning: the host is not named " << hostProgramName
        << "; uninstall will need --force to remove these manifests\n";
  return {host, std::nullopt};
}

// User folders are private to the user, as the browser makes its own; system
// folders are readable by every user's browser.
mode_t folderMode(const Options& options) { return options.system ? 0755 : 0700; }

// --- install ----------------------------------------------------------------

Error installInto(const FolderJob& job, const Options& options, const std::string& text, std::ostream& out) {
  const auto folder = openFolder(job.folder, folderMode(options));
  if (folder.error) return folder.error;
  const std::string name = manifestFileName(options.name);
  const std::string file = (job.folder / name).string();
  const auto existing = readManifest(folder.value, name);
  if (existing.error && !options.force) return *existing.error + " (use --force to replace it)";
  if (existing.value && *existing.value == text) {
    out << "up to date: " << file << " (" << joined(job.browsers) << ")\n";
    return std::nullopt;
  }
  if (existing.value && !isOurManifest(*existing.value) && !options.force)
    return "refusing to replace " + file + ": it is not a manifest for " + std::string(hostProgramName) +
           " (use --force)";
  if (auto error = writeManifest(folder.value, name, text)) return error;
  out << "wrote " << file << " (" << joined(job.browsers) << ")\n";
  return std::nullopt;
}

int runInstall(const Options& options, const fs::path& home, std::ostream& out, std::ostream& err) {
  const auto host = resolveHostPath(options, err);
  if (!reported(host.error, err)) return 1;
  const Plan plan = makePlan(options, home);

  bool ok = true;
  std::vector<Target> chosen;
  for (const auto& target : plan.targets) {
    if (!target.expected) continue;
    if (!target.folder.empty())
      chosen.push_back(target);
    else if (!options.browsers.empty())
      ok = reported(target.browser + " has no system-wide folder", err) && ok;
    else
      out << "skipped " << target.browser << ": it has no system-wide folder\n";
  }
  if (chosen.empty() && ok) {
    reported("found no browser to register with; name one with --browser, or use --user-data-dir", err);
    return 1;
  }
  if (options.browsers.empty() && options.userDataDirs.empty()) {
    std::vector<std::string> found;
    for (const auto& target : chosen)
      if (std::find(found.begin(), found.end(), target.browser) == found.end())
        found.push_back(target.browser);
    out << "found " << joined(found) << "\n";
  }

  const std::string text = buildManifestText(
      {options.name, std::string(hostDescription), host.value.string(), options.extensionIds});
  for (const auto& job : folderJobs(chosen)) ok = reported(installInto(job, options, text, out), err) && ok;
  for (Browser browser : plan.browsers)
    for (const auto& note : sandboxNotes(browser, home)) out << "note: " << note << "\n";
  return ok ? 0 : 1;
}

// --- uninstall --------------------------------------------------------------

// Removes the manifest from one folder; false when there was none to remove.
Result<bool> uninstallFrom(const FolderJob& job, const Options& options, std::ostream& out) {
  const auto folder = openFolder(job.folder);
  if (folder.error) return {false, folder.error};
  const std::string name = manifestFileName(options.name);
  const std::string file = (job.folder / name).string();
  const auto existing = readManifest(folder.value, name);
  if (existing.error && !options.force) return {false, *existing.error + " (use --force to remove it)"};
  if (!existing.error && !existing.value) return {false, std::nullopt};
  if (existing.value && !isOurManifest(*existing.value) && !options.force)
    return {false,
            "kept " + file + ": it is not a manifest for " + std::string(hostProgramName) + " (use --force)"};
  if (auto error = removeManifest(folder.value, name)) return {false, error};
  out << "removed " << file << " (" << joined(job.browsers) << ")\n";
  return {true, std::nullopt};
}

// Every folder the selection could have written to, so a manifest left for a
// browser since removed still goes.
int runUninstall(const Options& options, const fs::path& home, std::ostream& out, std::ostream& err) {
  bool ok = true, removedAny = false;
  for (const auto& job : folderJobs(makePlan(options, home).targets)) {
    const auto removed = uninstallFrom(job, options, out);
    ok = reported(removed.error, err) && ok;
    removedAny = removedAny || removed.value;
  }
  if (!removedAny && ok) out << "nothing to remove\n";
  return ok ? 0 : 1;
}

// --- status -----------------------------------------------------------------

void checkHostProgram(const std::string& host, std::vector<std::string>& problems) {
  if (host.empty() || !host.starts_with('/')) return;  // already reported
  if (!pathExists(host))
    problems.push_back("host " + host + " does not exist");
  else if (!isExecutableFile(host))
    problems.push_back("host " + host + " is not an executable file");
}

StatusRow statusOf(const Target& target, Level level, const fs::path& home, const Options& options) {
  StatusRow row{target.browser,
                level == Level::system ? "system" : "user",
                target.folder.empty() ? "-" : target.folder.string(),
                "",
                {},
                {}};
  if (target.folder.empty()) {
    row.state = "n/a";
    if (target.expected) row.problems.push_back("no system-wide folder");
    return row;
  }
  const auto folder = openFolder(target.folder);
  auto text = folder.error ? Result<std::optional<std::string>>{{}, folder.error}
                           : readManifest(folder.value, manifestFileName(options.name));
  if (text.error) {
    row.state = "unreadable";
    row.problems.push_back(*text.error);
  } else if (!text.value) {
    row.state = target.expected ? "missing" : "absent";
    if (target.expected) row.problems.push_back("not registered");
  } else {
    auto check = checkManifestText(*text.value, options.name, options.extensionIds);
    row.problems = std::move(check.problems);
    checkHostProgram(check.hostPath, row.problems);
    // Written by root with the user's HOME, it may be root's alone.
    const fs::path file = target.folder / manifestFileName(options.name);
    if (level == Level::user && options.userDataDirs.empty())
      if (auto error = checkOwnerCanRead(home, file)) row.problems.push_back(*error);
    if (row.problems.empty())
      if (auto problem = appGroupProblem(check.hostPath)) row.problems.push_back(*problem);
    row.state = row.problems.empty() ? "ok" : "invalid";
  }
  return row;
}

bool isFound(const StatusRow& row) {
  return row.state != "absent" && row.state != "missing" && row.state != "n/a";
}

// At user level the system-wide manifests a package installed count too: a
// browser served by one needs none of the user's.
int runStatus(const Options& options, const fs::path& home, std::ostream& out, std::ostream& err) {
  const Plan plan = makePlan(options, home);
  const Level level = options.system ? Level::system : Level::user;
  std::vector<StatusRow> rows, systemRows;
  if (level == Level::user && options.userDataDirs.empty()) {
    Options systemWide = options;
    systemWide.system = true;
    for (const auto& target : makePlan(systemWide, home).targets)
      if (auto row = statusOf(target, Level::system, home, options); isFound(row)) systemRows.push_back(row);
  }
  const auto served = [&](const std::string& browser) {
    return std::any_of(systemRows.begin(), systemRows.end(),
                       [&](const StatusRow& row) { return row.browser == browser && row.problems.empty(); });
  };
  for (const auto& target : plan.targets) {
    rows.push_back(statusOf(target, level, home, options));
    if (rows.back().state == "missing" && served(target.browser)) {
      rows.back().state = "absent";
      rows.back().problems.clear();
    }
  }
  rows.insert(rows.end(), systemRows.begin(), systemRows.end());
  for (Browser browser : plan.browsers) {
    const auto notes = sandboxNotes(browser, home);
    for (auto& row : rows)
      if (row.browser == browserLabel(browser)) row.notes.insert(row.notes.end(), notes.begin(), notes.end());
  }

  bool sound = true, found = false;
  for (const auto& row : rows) {
    sound = sound && row.problems.empty();
    found = found || isFound(row);
  }
  out << (options.json ? renderStatusJson(rows) : renderStatusTable(rows));
  if (sound && !found) {  // nothing wrong shown, yet nothing registered
    reported("no manifest named " + options.name + " found", err);
    return 1;
  }
  return sound ? 0 : 1;
}

// --- manifest ---------------------------------------------------------------

// The text install would write, for a package to ship: the host need not be
// there yet.
int runManifest(const Options& options, std::ostream& out) {
  out << buildManifestText({options.name, std::string(hostDescription),
                            absoluteFromCwd(options.hostPath).string(), options.extensionIds});
  return 0;
}

}  // namespace

int runCommand(const Options& options, std::ostream& out, std::ostream& err) {
  if (options.command == Command::manifest) return runManifest(options, out);
  const auto home = homeFolder();
  if (!reported(home.error, err)) return 1;
  // Only the browsers' own folders need it.
  if (!home.value && options.userDataDirs.empty()) {
    reported("cannot find the home folder; set HOME", err);
    return 1;
  }
  const fs::path homePath = home.value.value_or(fs::path("/"));
  const bool writesHome =
      options.command != Command::status && !options.system && options.userDataDirs.empty();
  if (writesHome && !reported(checkHomeIsOurs(homePath), err)) return 1;
  switch (options.command) {
    case Command::install:
      return runInstall(options, homePath, out, err);
    case Command::uninstall:
      return runUninstall(options, homePath, out, err);
    case Command::status:
      return runStatus(options, homePath, out, err);
    case Command::manifest:
      break;
  }
  return 1;
}

}  // namespace qorda::setup
