// Pixel tests of rendered view trees: the round progress view's pie, the
// overlay's box and dimming, and Chinese text drawn with real glyphs.
#include <gtest/gtest.h>

#include "nb/ui/FxActivityIndicator.h"
#include "nb/ui/FxRoundProgressView.h"
#include "nb/ui/toolkit/Label.h"
#include "nb/ui/toolkit/Renderer.h"

namespace nb {
namespace {

using ui::Image;
using ui::Rect;

bool opaqueWhite(const Image& image, int x, int y) {
  const auto p = image.pixel(x, y);
  return p.a == 255 && p.r == 255 && p.g == 255 && p.b == 255;
}
// The faint disc: white at alpha 0.1.
bool faint(const Image& image, int x, int y) {
  const auto p = image.pixel(x, y);
  return p.a >= 20 && p.a <= 32;
}

TEST(RoundProgressViewRendering, SectorGrowsClockwiseFromTheTop) {
  // 100 × 100: disc inset by 2, centre (50, 50), radius 48. One point per quadrant.
  struct Case {
    float progress;
    bool topRight, bottomRight, bottomLeft, topLeft;
  };
  for (const Case& c :
       {Case{0.0f, false, false, false, false}, Case{0.25f, true, false, false, false},
        Case{0.5f, true, true, false, false}, Case{1.0f, true, true, true, true}}) {
    auto view = std::make_shared<FxRoundProgressView>(Rect(0, 0, 100, 100));
    view->setProgress(c.progress);
    const Image image = ui::Renderer::render(*view);
    SCOPED_TRACE(c.progress);
    const std::pair<int, int> points[] = {{75, 25}, {75, 75}, {25, 75}, {25, 25}};
    const bool expected[] = {c.topRight, c.bottomRight, c.bottomLeft, c.topLeft};
    for (int i = 0; i < 4; ++i) {
      auto [x, y] = points[i];
      EXPECT_EQ(opaqueWhite(image, x, y), expected[i]) << x << "," << y;
      if (!expected[i]) {
        EXPECT_TRUE(faint(image, x, y)) << x << "," << y;
      }
    }
  }
}

TEST(RoundProgressViewRendering, QuarterEdgesAndOutlineAndFullDisc) {
  auto view = std::make_shared<FxRoundProgressView>(Rect(0, 0, 100, 100));
  view->setProgress(0.25f);
  Image image = ui::Renderer::render(*view);
  EXPECT_TRUE(opaqueWhite(image, 53, 10));  // just right of the top
  EXPECT_TRUE(faint(image, 46, 10));        // just left of the top
  EXPECT_TRUE(opaqueWhite(image, 90, 46));  // just above the right-hand radius
  EXPECT_TRUE(faint(image, 90, 54));        // just below it
  EXPECT_TRUE(faint(image, 10, 50));        // the left half stays faint
  EXPECT_EQ(image.pixel(0, 0).a, 0);        // outside the disc nothing is drawn
  EXPECT_TRUE(opaqueWhite(image, 50, 2));   // the 2-point outline on the inset circle

  view->setProgress(1.0f);
  image = ui::Renderer::render(*view);
  // The sector covers the whole inset disc: nothing faint is left inside the outline.
  for (int y = 5; y < 95; y += 3) {
    for (int x = 5; x < 95; x += 3) {
      if ((x - 50) * (x - 50) + (y - 50) * (y - 50) < 46 * 46) {
        ASSERT_TRUE(opaqueWhite(image, x, y)) << x << "," << y;
      }
    }
  }
}

class OverlayRendering : public ::testing::Test {
 protected:
  std::shared_ptr<ui::View> host = std::make_shared<ui::View>(Rect(0, 0, 320, 480));
  std::shared_ptr<FxActivityIndicator> hud = std::make_shared<FxActivityIndicator>(host.get());
  void SetUp() override {
    host->addSubview(hud);
    hud->show(false);
  }
};

TEST_F(OverlayRendering, BoxIsCentredWithTranslucentFillAndRoundedCorners) {
  const Image image = ui::Renderer::render(*host);
  // Spinner 37 × 37 plus margins of 20: a 77 × 77 box at round(121.5), round(201.5).
  ASSERT_EQ(hud->boxRect(), Rect(122, 202, 77, 77));
  const auto fill = image.pixel(125, 230);
  EXPECT_EQ(fill.a, 204);  // 0.8 opacity
  EXPECT_NEAR(fill.r, 51, 1);
  EXPECT_NEAR(fill.g, 51, 1);
  // Edges: left, right, top and bottom of the box, away from the corners.
  EXPECT_EQ(image.pixel(121, 240).a, 0);
  EXPECT_EQ(image.pixel(122, 240).a, 204);
  EXPECT_EQ(image.pixel(198, 240).a, 204);
  EXPECT_EQ(image.pixel(199, 240).a, 0);
  EXPECT_EQ(image.pixel(160, 201).a, 0);
  EXPECT_EQ(image.pixel(160, 202).a, 204);
  EXPECT_EQ(image.pixel(160, 278).a, 204);
  EXPECT_EQ(image.pixel(160, 279).a, 0);
  // Corners are cut by a radius of 10: the very corner pixels stay clear.
  for (auto [x, y] : {std::pair{122, 202}, {198, 202}, {122, 278}, {198, 278}}) {
    EXPECT_EQ(image.pixel(x, y).a, 0) << x << "," << y;
  }
  EXPECT_EQ(image.pixel(125, 212).a, 204);  // level with the arc's centre the edge is straight
}

TEST_F(OverlayRendering, DimmedBackgroundIsDarkerAtTheCornersThanNearTheCentre) {
  EXPECT_EQ(ui::Renderer::render(*host).pixel(5, 5).a, 0);  // not dimmed by default
  hud->setDimBackground(true);
  const Image image = ui::Renderer::render(*host);
  const auto corner = image.pixel(0, 0);
  const auto nearCentre = image.pixel(160, 150);  // 90 points from the centre, outside the box
  EXPECT_EQ(corner.r, 0);
  EXPECT_GT(corner.a, 150);  // 0.75 × 288 / 320 of the way out
  EXPECT_LT(nearCentre.a, 70);
  EXPECT_GT(nearCentre.a, 30);
}

TEST(LabelRendering, ChineseTextIsDrawnWithGlyphsInsideTheFrame) {
  const std::string text = "授权中...请填写密码！";
  const ui::Font font = ui::Font::boldSystemFontOfSize(16);
  EXPECT_EQ(font.missingGlyphCount(text), 0) << "a CJK font is missing (see scripts/bootstrap)";
  EXPECT_GT(font.missingGlyphCount("\U000F0000"), 0);  // private-use: no font has it

  auto root = std::make_shared<ui::View>(Rect(0, 0, 300, 60));
  root->setBackgroundColor(ui::Color::black());
  const ui::Size size = font.measure(text);
  auto label = std::make_shared<ui::Label>(Rect(10, 10, size.width, size.height));
  label->setFont(font);
  label->setTextColor(ui::Color::white());
  label->setText(text);
  root->addSubview(label);
  const Image image = ui::Renderer::render(*root);
  int inkInside = 0, inkOutside = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y).r <= 128) continue;
      ++(label->frame().contains({x + 0.5, y + 0.5}) ? inkInside : inkOutside);
    }
  }
  EXPECT_GT(inkInside, 200);
  EXPECT_EQ(inkOutside, 0);
}

}  // namespace
}  // namespace nb
