#include "platform/Window.h"

#include <map>

namespace portwise::platform {

std::vector<TPlacedControl> PlaceControls(const TFormLayout& layout) {
  struct TFree { int Left, Top, Width, Height; };
  std::map<std::string, TFree> freeArea;  // per parent: the area alignment has not taken yet
  std::map<std::string, TRect> placed;
  freeArea[""] = {0, 0, layout.ClientWidth, layout.ClientHeight};
  std::vector<TPlacedControl> out;
  for (const TControlLayout& c : layout.Controls) {
    auto it = freeArea.find(c.Parent);
    if (it == freeArea.end()) {
      // A parent's area starts as its own client rectangle.
      const TRect& p = placed.at(c.Parent);
      it = freeArea.emplace(c.Parent, TFree{0, 0, p.Width, p.Height}).first;
    }
    TFree& f = it->second;
    TRect r;
    switch (c.Align) {
      case EAlign::Top:
        r = {f.Left, f.Top, f.Width, c.Height};
        f.Top += c.Height;
        f.Height -= c.Height;
        break;
      case EAlign::Client:
        r = {f.Left, f.Top, f.Width, f.Height < 0 ? 0 : f.Height};
        f.Top += r.Height;
        f.Height = 0;
        break;
      case EAlign::None:
        r = {c.Left, c.Top, c.Width, c.Height};
        break;
    }
    placed[c.Name] = r;
    out.push_back({c.Name, r});
  }
  return out;
}

}  // namespace portwise::platform
