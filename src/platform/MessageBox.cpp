#include "platform/MessageBox.h"

namespace vk::platform {

MsgAnswer DefaultAnswer(MsgButtons buttons) {
  switch (buttons) {
  case MsgButtons::Ok:
  case MsgButtons::OkCancel:
    return MsgAnswer::Ok;
  case MsgButtons::YesNo:
  case MsgButtons::YesNoCancel:
    return MsgAnswer::Yes;
  }
  return MsgAnswer::Ok;
}

} // namespace vk::platform
