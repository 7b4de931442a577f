#pragma once
// Fixed facts about the product, shared by the engine, the command line and the windows.

namespace sonavert {

inline constexpr const char* kProductName = "Sonavert";
inline constexpr const char* kProductVersion = "3.4";
inline constexpr const char* kSupportAddress = "support@sonavert.app";
inline constexpr const char* kHomepageUrl = "https://sonavert.app/";

}  // namespace sonavert
