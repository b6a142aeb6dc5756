#pragma once

#include <utility>

namespace varn::mcp {

// The browser's switches after its profile, shared with the benchmarks' raw-browser floor so that
// both start the same browser. No first-run or default-browser prompt, no background requests,
// sync, metrics or default apps; no extensions, neither the ones Debian's launcher loads nor the
// built-in ones with background pages, so nothing but the page reads what is typed into it; no
// translation, media router, optimization hints or WebUI omnibox popups. Saved secrets are not
// handed to the user's keyring (which would keep an entry outside the profile). Extensions and
// those features also cost the start a fifth of its time.
inline constexpr const char* kBrowserSwitches[] = {
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-sync",
    "--disable-default-apps",
    "--metrics-recording-only",
    "--disable-extensions",
    "--disable-component-extensions-with-background-pages",
    "--disable-features=Translate,MediaRouter,OptimizationHints,WebUIOmniboxPopup,"
    "WebUIOmniboxAimPopup",
    "--password-store=basic",
};

// The XDG base folders the browser's environment names, each below the browser's own home, so that
// nothing the browser or its libraries keep lands in the user's home.
inline constexpr std::pair<const char*, const char*> kBrowserHomeFolders[] = {
    {"XDG_CONFIG_HOME", ".config"},
    {"XDG_CACHE_HOME", ".cache"},
    {"XDG_DATA_HOME", ".local/share"},
    {"XDG_STATE_HOME", ".local/state"},
};

}  // namespace varn::mcp
