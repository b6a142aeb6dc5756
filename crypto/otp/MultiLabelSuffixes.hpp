#pragma once

// The literals of RegistrableDomain's built-in table: public suffixes of two or three labels,
// each a rule of the public suffix list. Internal to the library and its tests.

#include <array>
#include <string_view>

namespace varn::crypto {

// clang-format off
inline constexpr std::array<std::string_view, 92> kMultiLabelSuffixes = {
    // Second-level suffixes of country-code domains: 62 of 28 countries.
    "co.uk", "org.uk", "ac.uk", "gov.uk", "me.uk", "net.uk",  // United Kingdom
    "com.au", "net.au", "org.au", "edu.au", "gov.au",         // Australia
    "co.nz", "org.nz", "net.nz", "ac.nz",                     // New Zealand
    "co.jp", "ne.jp", "or.jp", "ac.jp", "go.jp",              // Japan
    "com.br", "net.br", "org.br", "gov.br",                   // Brazil
    "co.in", "net.in", "org.in", "gov.in",                    // India
    "com.cn", "net.cn", "org.cn", "gov.cn", "edu.cn",         // China
    "co.za", "org.za",                                        // South Africa
    "co.kr", "or.kr",                                         // South Korea
    "com.mx", "org.mx",                                       // Mexico
    "com.ar",                                                 // Argentina
    "com.sg", "edu.sg",                                       // Singapore
    "com.hk", "org.hk",                                       // Hong Kong
    "com.tw", "org.tw",                                       // Taiwan
    "co.il", "org.il",                                        // Israel
    "com.tr", "org.tr",                                       // Turkey
    "com.my",                                                 // Malaysia
    "co.id",                                                  // Indonesia
    "co.th",                                                  // Thailand
    "com.ph",                                                 // Philippines
    "com.vn",                                                 // Vietnam
    "com.pk",                                                 // Pakistan
    "com.eg",                                                 // Egypt
    "com.ng",                                                 // Nigeria
    "co.ke",                                                  // Kenya
    "com.sa",                                                 // Saudi Arabia
    "com.ua",                                                 // Ukraine
    "com.co",                                                 // Colombia
    // Shared hosting, a name of its own for every customer: 30, one of three labels.
    "github.io", "gitlab.io", "bitbucket.io", "codeberg.page", "readthedocs.io",
    "herokuapp.com", "vercel.app", "now.sh", "netlify.app", "pages.dev", "workers.dev",
    "r2.dev", "trycloudflare.com", "web.app", "firebaseapp.com", "appspot.com",
    "blogspot.com", "azurewebsites.net", "cloudfront.net", "s3.amazonaws.com", "ngrok.io",
    "glitch.me", "onrender.com", "fly.dev", "deno.dev", "repl.co", "pythonanywhere.com",
    "wixsite.com", "myshopify.com", "carrd.co",
};
// clang-format on

}  // namespace varn::crypto
