// SPDX-License-Identifier: MIT
// The live page's files, built into zodm-screen from tools/screen/live/page/
// (see embedFiles.cmake), so the page needs nothing from anywhere else.
#ifndef ZODM_TOOLS_LIVE_ASSETS_H
#define ZODM_TOOLS_LIVE_ASSETS_H

#include <string_view>

namespace zodm::live {

std::string_view pageHtml();    // page.html
std::string_view pageScript();  // page.js
std::string_view pageStyle();   // page.css

}  // namespace zodm::live

#endif  // ZODM_TOOLS_LIVE_ASSETS_H
