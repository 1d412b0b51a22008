#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace snapvel::cdp {

// The library that spares the browser page faults (see
// src/preload/pagefaults.c), and which of its two jobs it is to do there.
struct PageFaultLibrary
{
    QString path;
    // Large private memory gets huge pages.
    bool hugePages = false;
    // Shared tiles and pictures are filled in as they are mapped.
    bool prefaultSharedMemory = false;

    // Whether it has anything to do: without a job it is not preloaded.
    bool hasJob() const { return hugePages || prefaultSharedMemory; }
};

// The environment Chromium is started with: base, except that the files
// Chromium writes outside its --user-data-dir land in folders inside the
// profile (created here) and are deleted with it:
// - CHROME_CONFIG_HOME, where Chromium keeps its crash database
//   ("chromium/Crash Reports"), whatever its data folder;
// - XDG_CACHE_HOME, the caches of the libraries it uses (dconf, fontconfig);
// - TMPDIR, its temporary folders (org.chromium.Chromium.*), including the
//   one for its single-instance socket, unless that socket's path would be
//   too long inside the profile.
// HOME and XDG_CONFIG_HOME stay as they are: Chromium reads the desktop's
// proxy settings (dconf) and the user's font configuration through them.
// A library with a path and a job is added to LD_PRELOAD after the libraries
// base preloads already, so that theirs come first where both stand in for
// the same function, and its switches are set; they are never passed on
// from base, where they could turn on a job that does not fit this browser.
QProcessEnvironment chromiumEnvironment(const QString &profilePath, const QProcessEnvironment &base,
                                        const PageFaultLibrary &library = {});

// The library to preload: the one beside the program (the build tree) or in
// ../lib/snapvel/ (installed), with the jobs that help here. Huge pages only
// where the system's setting for transparent huge pages (thpSetting, the
// text of /sys/kernel/mm/transparent_hugepage/enabled) leaves them to
// programs: under "always" every program has them anyway, under "never" none
// may. Shared memory is filled in only for a browser without its sandbox
// (sandboxed false): the sandbox's system call filter refuses that advice,
// and is not to be tried with calls it might not allow.
// The path is "" when there is no library, no job for it, or when the path
// cannot stand in LD_PRELOAD, which splits at spaces and colons.
PageFaultLibrary pageFaultLibrary(const QString &programFolder, const QString &thpSetting,
                                  bool sandboxed);
// The same for this program on this system.
PageFaultLibrary pageFaultLibrary(bool sandboxed);

// The switches that name where Chromium puts files which it would otherwise
// place by the desktop's folders: its HTTP cache, and the headless shell's
// crash database.
QStringList chromiumProfileArguments(const QString &profilePath);

// The browser program to start: the first of `candidates` that is an
// executable file, or the last one when none is (so that the error names
// the usual browser). By default Debian's Chromium headless shell, then
// Chromium itself. The shell is the same engine, and paints the same
// pixels, without the desktop browser around it (windows, extensions,
// profile services): it starts, opens a page and closes in about half the
// time. It is started as the program itself, not through the script in
// /usr/bin, which would stand between it and us as a process of its own.
QString chromiumExecutable(const QStringList &candidates = {
                               QStringLiteral("/usr/lib/chromium/chromium-headless-shell"),
                               QStringLiteral("/usr/bin/chromium")});

} // namespace snapvel::cdp
