#pragma once
// The progress bar as the protocols see it: they move it themselves (the H8 kernel's download,
// the records by address). The window implements it with a Qt widget; vkprog and the tests use
// the plain one in programmer/HeadlessViews.h.

namespace vk::programmer {

class IProgressView {
public:
  virtual ~IProgressView() = default;
  virtual void SetRange(int min, int max) = 0;
  virtual int Min() const = 0;
  virtual int Max() const = 0;
  virtual int Position() const = 0;
  virtual void SetPosition(int position) = 0;
};

} // namespace vk::programmer
