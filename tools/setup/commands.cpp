#include "commands.h"

#include "report.h"
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
    Selection selection;
    selection.named = options.browsers;
    selection.level = options.system ? Level::system : Level::user;
    for (const auto& dir : options.userDataDirs) selection.userDataDirs.push_back(absoluteFromCwd(dir));
    Plan plan;
    plan.targets = planTargets(selection, currentPlatform(), home,
                               [&](Browser b) { return isBrowserPresent(b, home); });
    if (selection.userDataDirs.empty()) {
        for (Browser browser : allBrowsers) {
            const auto label = std::string(browserLabel(browser));
            const bool planned = std::any_of(plan.targets.begin(), plan.targets.end(),
                                             [&](const Target& t) { return t.browser == label; });
            if (planned) plan.browsers.push_back(browser);
        }
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
        if (!pathExists(probe.path)) continue;
        if (std::find(kinds.begin(), kinds.end(), probe.kind) != kinds.end()) continue;
        kinds.push_back(probe.kind);
        notes.push_back(std::string(browserLabel(browser)) + " is installed as a " +
                        std::string(probe.kind) + " (" + probe.path.string() +
                        "): that sandbox cannot start a native host; use a non-" +
                        std::string(probe.kind) + " build of the browser");
    }
    return notes;
}

// The host program the manifest will name, or "" after reporting why not.
std::string resolveHostPath(const Options& options, std::ostream& err) {
    fs::path host;
    if (!options.hostPath.empty()) {
        host = absoluteFromCwd(options.hostPath);
    } else if (const auto self = selfExecutable()) {
        host = self->parent_path() / hostProgramName;
    } else {
        err << commandName << ": cannot tell where this program is; give --host-path\n";
        return "";
    }
    if (!isValidUtf8(host.string())) {
        err << commandName << ": the host path is not valid UTF-8: " << host.string() << "\n";
        return "";
    }
    if (!isExecutableFile(host)) {
        if (!options.force) {
            err << commandName << ": no executable host at " << host.string()
                << " (give --host-path, or --force to register it anyway)\n";
            return "";
        }
        err << "warning: no executable host at " << host.string() << "\n";
    }
    if (host.filename() != hostProgramName)
        err << "warning: the host is not named " << hostProgramName
            << "; uninstall will need --force to remove these manifests\n";
    return host.string();
}

// --- install ----------------------------------------------------------------

bool installInto(const FolderJob& job, const Options& options, const std::string& text,
                 std::ostream& out, std::ostream& err) {
    const fs::path file = manifestFile(job.folder, options.name);
    std::string error;
    const auto existing = readTextFile(file, &error);
    if (!existing && !error.empty()) {
        err << commandName << ": " << error << "\n";
        return false;
    }
    if (existing && *existing == text) {
        out << "up to date: " << file.string() << " (" << joined(job.browsers) << ")\n";
        return true;
    }
    if (existing && !isOurManifest(*existing) && !options.force) {
        err << commandName << ": refusing to replace " << file.string()
            << ": it is not a manifest for " << hostProgramName << " (use --force)\n";
        return false;
    }
    if (error = createFolders(job.folder); error.empty()) error = writeFileAtomically(file, text);
    if (!error.empty()) {
        err << commandName << ": " << error << "\n";
        return false;
    }
    out << "wrote " << file.string() << " (" << joined(job.browsers) << ")\n";
    return true;
}

int runInstall(const Options& options, const fs::path& home, std::ostream& out, std::ostream& err) {
    const std::string host = resolveHostPath(options, err);
    if (host.empty()) return 1;
    const Plan plan = makePlan(options, home);

    bool ok = true;
    std::vector<Target> chosen;
    for (const auto& target : plan.targets) {
        if (!target.expected) continue;
        if (!target.folder.empty()) {
            chosen.push_back(target);
        } else if (!options.browsers.empty()) {
            err << commandName << ": " << target.browser << " has no system-wide folder\n";
            ok = false;
        } else {
            out << "skipped " << target.browser << ": it has no system-wide folder\n";
        }
    }
    if (chosen.empty() && ok) {
        err << commandName << ": found no browser to register with; name one with --browser, "
            << "or use --user-data-dir\n";
        return 1;
    }
    if (options.browsers.empty() && options.userDataDirs.empty()) {
        std::vector<std::string> found;
        for (const auto& target : chosen)
            if (std::find(found.begin(), found.end(), target.browser) == found.end())
                found.push_back(target.browser);
        out << "found " << joined(found) << "\n";
    }

    const std::string text = buildManifestText({options.name, std::string(hostDescription), host,
                                                options.extensionIds});
    for (const auto& job : folderJobs(chosen)) ok = installInto(job, options, text, out, err) && ok;
    for (Browser browser : plan.browsers)
        for (const auto& note : sandboxNotes(browser, home)) out << "note: " << note << "\n";
    return ok ? 0 : 1;
}

// --- uninstall --------------------------------------------------------------

// Every folder the selection could have written to, so a manifest left for a
// browser since removed still goes.
int runUninstall(const Options& options, const fs::path& home, std::ostream& out, std::ostream& err) {
    const Plan plan = makePlan(options, home);
    bool ok = true;
    int removed = 0;
    for (const auto& job : folderJobs(plan.targets)) {
        const fs::path file = manifestFile(job.folder, options.name);
        std::string error;
        const auto existing = readTextFile(file, &error);
        if (!existing) {
            if (!error.empty()) {
                err << commandName << ": " << error << "\n";
                ok = false;
            }
            continue;
        }
        if (!isOurManifest(*existing) && !options.force) {
            err << commandName << ": kept " << file.string() << ": it is not a manifest for "
                << hostProgramName << " (use --force)\n";
            ok = false;
            continue;
        }
        if (error = removeFile(file); !error.empty()) {
            err << commandName << ": " << error << "\n";
            ok = false;
            continue;
        }
        out << "removed " << file.string() << " (" << joined(job.browsers) << ")\n";
        ++removed;
    }
    if (removed == 0 && ok) out << "nothing to remove\n";
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

StatusRow statusOf(const Target& target, const Options& options) {
    StatusRow row{target.browser, target.folder.empty() ? "-" : target.folder.string(), "", {}, {}};
    if (target.folder.empty()) {
        row.state = "n/a";
        if (target.expected) row.problems.push_back("no system-wide folder");
        return row;
    }
    std::string error;
    const auto text = readTextFile(manifestFile(target.folder, options.name), &error);
    if (!text) {
        row.state = error.empty() ? (target.expected ? "missing" : "absent") : "unreadable";
        if (!error.empty()) row.problems.push_back(error);
        else if (target.expected) row.problems.push_back("not registered");
        return row;
    }
    const auto check = checkManifestText(*text, options.name, options.extensionIds);
    row.problems = check.problems;
    checkHostProgram(check.hostPath, row.problems);
    row.state = row.problems.empty() ? "ok" : "invalid";
    return row;
}

int runStatus(const Options& options, const fs::path& home, std::ostream& out, std::ostream& err) {
    const Plan plan = makePlan(options, home);
    std::vector<StatusRow> rows;
    for (const auto& target : plan.targets) rows.push_back(statusOf(target, options));
    for (Browser browser : plan.browsers) {
        const auto notes = sandboxNotes(browser, home);
        for (auto& row : rows)
            if (row.browser == browserLabel(browser)) row.notes.insert(row.notes.end(), notes.begin(), notes.end());
    }

    bool sound = true, found = false;
    for (const auto& row : rows) {
        sound = sound && row.problems.empty();
        found = found || (row.state != "absent" && row.state != "missing" && row.state != "n/a");
    }
    out << (options.json ? renderStatusJson(rows) : renderStatusTable(rows));
    if (sound && !found) {  // nothing wrong shown, yet nothing registered
        err << commandName << ": no manifest named " << options.name << " found\n";
        return 1;
    }
    return sound ? 0 : 1;
}

}  // namespace

int runCommand(const Options& options, std::ostream& out, std::ostream& err) {
    const auto home = homeFolder();
    if (!home && options.userDataDirs.empty()) {
        err << commandName << ": cannot find the home folder; set HOME\n";
        return 1;
    }
    const fs::path homePath = home.value_or(fs::path("/"));
    switch (options.command) {
        case Command::install: return runInstall(options, homePath, out, err);
        case Command::uninstall: return runUninstall(options, homePath, out, err);
        case Command::status: return runStatus(options, homePath, out, err);
    }
    return 1;
}

}  // namespace qorda::setup
