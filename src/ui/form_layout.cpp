#include "ui/form_layout.h"

#include <algorithm>
#include <cmath>

#include "core/sessions.h"
#include "platform/clock.h"

namespace korvane {
namespace {

int Twips(double value) { return static_cast<int>(std::lround(value)); }

// A label made before the form was designed (a refused slot's label) has
// no place yet; it takes lblUser(0)'s, as a freshly created copy would.
bool Unplaced(const Label& label) { return label.Width == 0 && label.Height == 0; }

void StretchLists(Gateway& g) {
  ListBox& l1 = g.List1;
  ListBox& l2 = g.List2;
  // A size that would come out negative is refused by a real window; that
  // step is skipped and the others still run.
  int width = g.Width - l1.Left - 250;
  if (width >= 0) l1.Move(l1.Left, l1.Top, width, l1.Height);
  if (width >= 0) l2.Move(l2.Left, l2.Top, width, l2.Height);
  int height = g.Height - l2.Top - 800;
  if (height >= 0) l2.Move(l2.Left, l2.Top, l2.Width, height);
}

void PlaceSlotLabels(Gateway& g) {
  double users = Val(g.maxusers.Text());
  if (users + 1 == 0) return;
  Label& first = g.UserLabel(0);
  double slot = (g.List1.Left + g.List1.Width - first.Left) / (users + 1);
  if (slot >= 0) first.Move(first.Left, first.Top, Twips(slot), first.Height);
  // Labels keep the width they were created with; only their left edge moves.
  for (int i = 1; i <= users && i < static_cast<int>(g.lblUser.size()); ++i) {
    Label& label = *g.lblUser[i];
    label.Move(Twips(first.Left + i * slot), label.Top, label.Width, label.Height);
    label.SetVisible(true);
  }
}

}  // namespace

void Form_Resize(Gateway& g) {
  if (g.windowState == WindowState::Minimized) return;
  StretchLists(g);
  PlaceSlotLabels(g);
}

void SetWindowPlacement(Gateway& g, int width, int height, WindowState state) {
  g.windowState = state;
  if (state != WindowState::Minimized) {
    g.Width = width;
    g.Height = height;
  }
  Form_Resize(g);
}

// The slot labels are the window's, so they are made here; the session
// code calls CreateSlotLabels at start-up and on Reinitialize.
void CreateSlotLabels(Gateway& g) {
  double users = Val(g.maxusers.Text());
  const Label& first = g.UserLabel(0);
  for (int i = 1; i <= users; ++i) {
    Label& label = g.UserLabel(i);
    if (Unplaced(label)) {
      label.Move(first.Left, first.Top, first.Width, first.Height);
      label.SetBackColor(first.BackColor());
    }
    label.SetCaption("0");
    label.SetVisible(false);
  }
  LayoutSlotLabels(g);
}

void LayoutSlotLabels(Gateway& g) { Form_Resize(g); }

void FitSlotStrip(std::vector<SlotBox>& strip) {
  if (strip.empty()) return;
  int slot = strip[0].width;
  for (size_t i = 0; i < strip.size(); ++i) {
    SlotBox& box = strip[i];
    // A next label left of this one is not laid out in the strip yet.
    bool next = i + 1 < strip.size() && strip[i + 1].left > box.left;
    int room = next ? strip[i + 1].left - box.left : slot;
    box.width = std::max(0, std::min(box.width, room));
  }
}

}  // namespace korvane
