#include "cli/helptext.h"

#include "cli/outputformat.h"

namespace snapvel::cli {

QString captureHelpText()
{
    return QStringLiteral(
               R"(Usage: snapvel capture ADDRESS... [-o PATH] [options]
       snapvel capture --input FILE [-o FOLDER] [options]

Captures each page, however long, into one picture file with a headless
Chromium. Needs no display. An ADDRESS is a web address (example.com,
https://example.com/docs) or a local file (page.html, /tmp/report.html).

Output:
  -o, --output PATH   With one address: the file to write; its extension
                      chooses the format (.png, also for none; .jpg/.jpeg;
                      .bmp; .webp). An existing folder, or a name ending in
                      '/', takes a file named from the address. With several
                      addresses: the folder for the files (created when
                      missing). Default: the current folder.
  --format FORMAT     png (default), jpg, bmp or webp, for files named from
                      addresses and for -o files without an extension.
  --quality N         jpg and webp only, 0 to 100. jpg: 90 by default.
                      webp: 100 by default, which is lossless (and slow on
                      long pages); below 100 is lossy.
  Files named from addresses use the host and path ("example.com_docs");
  a name used twice in one run is numbered (-2, -3, ...). An existing file
  is replaced, but only once the new one is complete; nothing is written
  for a page that fails.

Addresses:
  -i, --input FILE    Reads addresses from FILE, one a line ('-': standard
                      input); blank lines and lines starting with # are
                      skipped.

The page:
  --width N           Width of the viewport the page is laid out in
                      (default 1280).
  --height N          Height of the viewport the page sees (default 720).
  --scale F           Device scale factor: 2 paints twice the pixels in each
                      direction with the same layout (default 1).
  --viewport          Captures the first screen only (width x height)
                      instead of the whole page.
  --expand-scroller   For a page whose document does not scroll but a box
                      filling most of the viewport does (web apps), grows
                      that box to its whole content and captures all of it
                      (not a list that, grown, would show next to nothing
                      below its first screen).
  --wait load|networkidle
                      Captures once the page has loaded (default), or once
                      its network has also been quiet for half a second.
  --delay MS          Waits this many milliseconds more before capturing.
  --timeout S         The longest a page may take to load, and with
                      --wait networkidle to go quiet (default 30). A page
                      that does not load in time fails; a page whose network
                      stays busy is captured when the time is up.

Running:
  -j, --jobs N        Pages captured at once (default: the number of
                      processor cores). One more page loads ahead.
  --memory MB         The memory the pictures being captured may take at
                      once. Default: half of the memory available when the
                      command starts (MemAvailable in /proc/meminfo, or the
                      control group's limit). Each capture reserves its
                      picture (width x height x scale^2 x 4 bytes, plus a
                      quarter for a page that grows) and as much again for
                      decoding and encoding, at most 512 MB more; a page
                      waits until its reservation fits, and fails when its
                      picture alone is larger than the whole amount.
  -q, --quiet         Prints failures only.
  -v, --verbose       Adds each page's phase times (load, settle, measure,
                      paint, decode, write; in a batch also the wait for its
                      turn to paint) and the browser's start-up time.
  -h, --help          Shows this text.
  --version           Shows the version.

Progress goes to standard error: on a terminal a live line per running
page, otherwise one line per finished page, with the time it took itself
(without waiting for other pages):
  [3/20] ADDRESS WIDTHxHEIGHT SECONDS s -> FILE
  [4/20] ADDRESS failed: REASON

Stopped (Ctrl+C or SIGTERM), the command starts nothing more, finishes the
files being written and says how many pages it captured.

Exit status: 0 when every page was captured, 1 when some failed or the
command was stopped, 2 for a mistake on the command line.

Formats available here: %1.
)")
        .arg(availableFormatNames().join(QStringLiteral(", ")));
}

QString programHelpText()
{
    return QStringLiteral(R"(Usage: snapvel [ADDRESS]
       snapvel capture ADDRESS... [-o PATH] [options]

Tarvex Snapvel turns a web page, however long, into one picture.

Without "capture" it opens its window (which needs a display); an ADDRESS
given there is offered in the window's address prompt.

"snapvel capture" writes the pictures to files without a window or a
display, for scripts and batches; "snapvel capture --help" lists its
options. For example:
  snapvel capture example.com -o example.png

  -h, --help          Shows this text.
  --version           Shows the version.
)");
}

} // namespace snapvel::cli
