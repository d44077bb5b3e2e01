#include "ui/form_design.h"

namespace korvane {
namespace {

constexpr int kRow = 285;  // label height
constexpr int kBox = 315;  // text box height

}  // namespace

const std::vector<DesignedControl>& DesignedTextBoxes() {
  static const std::vector<DesignedControl> boxes = {
      {"txtport", "", 640, 90, 800, kBox},
      {"maxusers", "", 2180, 90, 600, kBox},
      {"txtTime", "", 3420, 90, 600, kBox},
      {"lnkItem", "", 5060, 90, 1500, kBox},
      {"ExportDirectory", "", 1940, 510, 4620, kBox},
      {"lnkTopic", "", 1340, 930, 5220, kBox},
  };
  return boxes;
}

const std::vector<DesignedControl>& DesignedLabels() {
  static const std::vector<DesignedControl> labels = {
      {"Label2", "port:", 120, 120, 500, kRow},
      {"Label3", "users:", 1560, 120, 600, kRow},
      {"Label7", "secs:", 2900, 120, 500, kRow},
      {"Label5", "DDE item:", 4140, 120, 900, kRow},
      {"Label1", "NetExport Directory", 120, 540, 1800, kRow},
      {"Label4", "DDE topic(s):", 120, 960, 1200, kRow},
      {"Label6", "Active Users:", 120, 1380, 1200, kRow},
      {"lnkDDE(0)", "lnkDDE(0)--form execute", 120, 2130, 2300, kRow},
      {"lnkDDE(1)", "lnkDDE(1)--notify", 2540, 2130, 2000, kRow},
      {"lnkFILE", "lnkFILE--w/o notify", 4660, 2130, 1900, kRow},
  };
  return labels;
}

void DesignForm1(Gateway& g) {
  g.Width = kDesignWidth;
  g.Height = kDesignHeight;
  g.List1.Move(120, 2520, kDesignWidth - 120 - 250, 2400);
  g.List2.Move(120, 5040, kDesignWidth - 120 - 250, kDesignHeight - 5040 - 800);
  Label& first = g.UserLabel(0);
  first.Move(1340, 1380, 400, kRow);
  first.SetCaption("0");
  first.SetBackColor(kYellow);
  g.lblPeerAddress.Move(120, 1770, 2600, kRow);
  g.lblPeerAddress.SetCaption("Peer Address");
  g.lblPeerName.Move(2840, 1770, 3720, kRow);
  g.lblPeerName.SetCaption("Peer Name");
}

}  // namespace korvane
