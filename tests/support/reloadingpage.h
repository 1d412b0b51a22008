#pragma once

#include <QByteArray>

namespace snapvel::test {

// When a page replaces its own document by reloading itself.
enum class Reloads
{
    WhenPainted, // once, as soon as its viewport is enlarged for a capture
    AfterLoad,   // once, right after its load
    Forever,     // right after every load
};

// A 3000 px tall page that reloads itself as `when` says: red until it has
// reloaded, green after (the green one never reloads, but for Forever).
// What it has done is kept per address in the tab's session storage.
QByteArray reloadingPageHtml(Reloads when);

} // namespace snapvel::test
