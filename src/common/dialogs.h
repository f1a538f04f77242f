// Modal message boxes, as the pages own them. The desktop pages, the
// command-line tool and the tests each answer them their own way.
#pragma once

#include <string_view>

namespace velkan {

enum class MsgButtons { kOk, kYesNo };
enum class MsgIcon { kNone, kWarning };
enum class MsgResult { kOk, kYes, kNo };

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows a modal message box with UTF-8 `text` and `caption`; returns the
  // button chosen.
  virtual MsgResult MessageBox(std::string_view text, std::string_view caption, MsgButtons buttons,
                               MsgIcon icon) = 0;
};

// The caption of the system's informational message boxes.
inline constexpr std::string_view kCaptionNotice = "提示";

}  // namespace velkan
