// Selecting catalogue entries: which protocol object serves them and what the page shows.

#include "app/ProgrammerPagePresenter.h"
#include "cpu/Kernels.h"
#include "support/HexText.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

using namespace vk::programmer;
using vk::test::SimWorld;

TEST(Selection, ProtocolObjectKeptOrReplacedByKind) {
  SimWorld w;
  vk::cpu::KernelSet kernels(std::vector<std::string>{"/nonexistent"});
  std::vector<std::uint8_t> created;
  vk::test::Programmer p(w, [&](std::uint8_t kind, vk::platform::IEventLoop& loop) {
    created.push_back(kind);
    return CreateBackplaneCpu(kind, loop);
  });
  // Rebuild with kernels: the harness's controller has none.
  RunController prg(
      w.loop, &p.image, w.comm.get(), [&](int n) { return kernels.Get(n); },
      [&](std::uint8_t kind, vk::platform::IEventLoop& loop) {
        created.push_back(kind);
        return CreateBackplaneCpu(kind, loop);
      });
  vk::programmer::HeadlessTree tree;
  vk::programmer::HeadlessCombo address(AddressItems());
  vk::programmer::HeadlessButton multi;
  int chained = 0, shown = 0;
  ProgrammerPageViews views;
  views.buttons = {nullptr, nullptr, nullptr, &multi};
  views.show = [&] { ++shown; };
  ProgrammerPagePresenter page(prg, p.image, *w.comm, views, nullptr, &address);
  prg.ChainedTreeClick = [&] { ++chained; };
  prg.BuildTargetTree(&tree);
  ASSERT_EQ(tree.nodes.size(), 26u);
  EXPECT_EQ(tree.nodes[4].parent, 0);                 // QRD14 under Kestron
  EXPECT_EQ(tree.nodes[18].parent, ITreeView::kNone); // QRH at the top level

  EXPECT_EQ(prg.Node().Name, "Kestron");
  // MultiProgram follows the entry once there is an image to program.
  const std::string hex = vk::test::HexText(0x1000, vk::test::Pattern(16));
  p.image.LoadFromMemory("app.hex", reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size());
  address.SetItemIndex(9);
  tree.Highlight("QRD14");
  prg.TreeClick();
  EXPECT_TRUE(multi.Enabled());
  EXPECT_EQ(chained, 1);
  ProtocolBase* first = prg.Node().Cpu;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Setup().moduleAddress, 9);
  EXPECT_TRUE(first->Setup().jumpTable);

  tree.Highlight("QRA11");
  prg.TreeClick();
  EXPECT_EQ(prg.Node().Cpu, first) << "same kind: the same object goes on";
  EXPECT_FALSE(multi.Enabled());
  EXPECT_EQ(address.ItemIndex(), 64);
  EXPECT_EQ(first->Setup().moduleAddress, 64);
  EXPECT_EQ(first->Setup().regionStart, 0x4000);

  created.clear();
  tree.Highlight("H8/3664");
  prg.TreeClick();
  EXPECT_EQ(created, (std::vector<std::uint8_t>{kKindH8}));
  EXPECT_EQ(prg.Node().Cpu->Setup().kernel, kernels.Get(2));
  EXPECT_EQ(prg.Node().Cpu->Setup().bootBaud, 9600);

  // By type: the first entry with the code, parents expanded, the page brought forward.
  prg.SelectByType(136);
  EXPECT_EQ(prg.Node().Name, "QRD14");
  EXPECT_EQ(tree.lastMadeVisible, 4);
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(multi.Enabled());
  prg.SelectByType(114);
  EXPECT_EQ(prg.Node().Name, "QRF18 mkIII");
  prg.SelectByType(99);
  EXPECT_EQ(prg.Node().Name, "QRF18 mkIII");
  EXPECT_EQ(shown, 2);
  prg.SelectByType(0);
  EXPECT_EQ(prg.Node().Name, "Kestron");

  // A click with nothing highlighted does nothing.
  tree.selected = ITreeView::kNone;
  const int before = chained;
  prg.TreeClick();
  EXPECT_EQ(chained, before);
}
