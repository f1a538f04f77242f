// Fixed identifiers and texts of the application's windows.
#pragma once

namespace velkan::ui {

inline constexpr unsigned kIdMainDialog = 102;
inline constexpr unsigned kIdOnlinePage = 129;
inline constexpr unsigned kIdOfflinePage = 132;
inline constexpr unsigned kIdI2cPage = 131;
inline constexpr unsigned kIdProductionPage = 133;
inline constexpr unsigned kIdTabControl = 1000;
inline constexpr unsigned kIdIcon = 128;

// String 101, the "about" entry of the window's system menu. The desktop
// systems this build runs on give a dialog no system menu of its own, so the
// entry (which never did anything) is not shown; the text is kept.
inline constexpr unsigned kIdAboutText = 101;
inline constexpr const char* kAboutText = "关于 VELKAN Tool(&A)...";

// The product version comes from the build (project() in CMakeLists.txt).
inline constexpr const char* kVersion = VELKAN_VERSION;
inline constexpr const char* kMainCaption = "VELKAN Tool V" VELKAN_VERSION;
inline constexpr const char* kOnlineCaption = "联机编程";
inline constexpr const char* kOfflineCaption = "脱机下载";
inline constexpr const char* kI2cCaption = "I2C测试";
inline constexpr const char* kProductionCaption = "量产";
// Closing the window while production runs.
inline constexpr const char* kProductionRunningText =
    "量产进行中，不能关闭！\r\r请先按“停止”，等当前芯片完成并记录后再关闭。";

// The fuse checkbox of the pages that program chips.
inline constexpr const char* kFuseText = "熔断（选择后将不可再编程！）";

}  // namespace velkan::ui
