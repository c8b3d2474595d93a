#include "DockTree.h"

#include <algorithm>

void TDockTree::InsertControl(TControl* control) {
    if (std::find(clients_.begin(), clients_.end(), control) == clients_.end())
        clients_.push_back(control);
}

void TDockTree::RemoveControl(TControl* control) { std::erase(clients_, control); }

std::vector<TControl*> TDockTree::VisibleClients() const {
    std::vector<TControl*> visible;
    for (TControl* client : clients_)
        if (client->Visible())
            visible.push_back(client);
    return visible;
}

bool TDockTree::HorizontalGrabbers() const { return area_.right - area_.left <= area_.bottom - area_.top; }

// The visible clients share the site's extent along the layout direction; the last one takes
// what rounding leaves.
void TDockTree::ResetBounds(const TRect& area) {
    area_ = area;
    const std::vector<TControl*> visible = VisibleClients();
    if (visible.empty())
        return;
    const bool stacked = HorizontalGrabbers();
    const int extent = stacked ? area.bottom - area.top : area.right - area.left;
    const int share = extent / static_cast<int>(visible.size());
    int start = stacked ? area.top : area.left;
    for (size_t i = 0; i < visible.size(); ++i) {
        const int size = i + 1 == visible.size() ? (stacked ? area.bottom : area.right) - start : share;
        const int clientSize = std::max(0, size - GrabberSize);
        if (stacked)
            visible[i]->SetBounds(area.left, start + GrabberSize, area.right - area.left, clientSize);
        else
            visible[i]->SetBounds(start + GrabberSize, area.top, clientSize, area.bottom - area.top);
        start += size;
    }
}

TRect TDockTree::GrabberRect(const TControl& client) const {
    if (!client.Visible() || client.HostDockSite() != &site_)
        return {};
    const TRect bounds = client.BoundsRect();
    if (HorizontalGrabbers())
        return MakeRect(bounds.left, bounds.top - GrabberSize, bounds.right, bounds.top);
    return MakeRect(bounds.left - GrabberSize, bounds.top, bounds.left, bounds.bottom);
}

// At the strip's far end: the right end of a top strip, the top end of a left one.
TRect TDockTree::CloseButtonRect(const TControl& client) const {
    const TRect grabber = GrabberRect(client);
    if (IsRectEmpty(&grabber))
        return {};
    if (HorizontalGrabbers())
        return MakeRect(grabber.right - GrabberSize, grabber.top, grabber.right, grabber.bottom);
    return MakeRect(grabber.left, grabber.top, grabber.right, grabber.top + GrabberSize);
}

void TDockTree::PaintSite(HDC dc) {
    for (TControl* client : VisibleClients()) {
        const TRect grabber = GrabberRect(*client);
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, grabber.left, grabber.top, grabber.right, grabber.bottom);
        PaintDockFrame(dc, *client, grabber);
        RestoreDC(dc, saved);
    }
}

void TDockTree::PaintDockFrame(HDC dc, TControl& client, const TRect& grabber) {
    TRect close = CloseButtonRect(client);
    InflateRect(&close, -1, -1);
    DrawFrameControl(dc, &close, DFC_CAPTION, DFCS_CAPTIONCLOSE);
    // Two bars of three pixels along the rest of the strip.
    for (int bar = 0; bar < 2; ++bar) {
        TRect rect;
        if (HorizontalGrabbers())
            rect = MakeRect(grabber.left + 2, grabber.top + 3 + 3 * bar, grabber.right - GrabberSize - 2,
                            grabber.top + 6 + 3 * bar);
        else
            rect = MakeRect(grabber.left + 3 + 3 * bar, grabber.top + GrabberSize + 2, grabber.left + 6 + 3 * bar,
                            grabber.bottom - 2);
        DrawEdge(dc, &rect, BDR_RAISEDINNER, BF_RECT);
    }
}

bool TDockTree::MouseDown(TPoint point) {
    for (TControl* client : VisibleClients()) {
        const TRect close = CloseButtonRect(*client);
        if (PtInRect(&close, point)) {
            client->SetVisible(false);  // the site lays the others out again
            site_.Invalidate();
            return true;
        }
    }
    return false;
}
