#pragma once
// Every window of the program opens with its whole frame, title bar
// included, inside the available area of its screen, at any scale.
//
// A window manager draws its frame in device pixels and tells its size only
// once the window is mapped. Before that the frame is estimated generously;
// once it is known, a window whose frame would still reach past the area is
// made smaller (never moved again: right after framing the position the
// toolkit reports lags behind the manager's, and a move computed from it
// could put the title bar above the screen).

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

class QWidget;

// The manager's frame around the top-level `w`; nothing until it has framed it.
std::optional<QMargins> kvr_frame_margins(const QWidget& w);
// The frame estimated before the manager has framed `w`.
QMargins kvr_frame_estimate(const QWidget& w);
// How far `r` must move to lie inside `area` (its top-left corner first,
// where the title bar is, when it is larger).
QPoint kvr_into(const QRect& r, const QRect& area);
// Where a window of client size `size` with frame `frame` goes: centred on
// `over` (global coordinates; the area's centre when empty), then moved
// inside `area`. The client's top-left corner is returned.
QPoint kvr_place_in(const QSize& size, const QMargins& frame, const QRect& over, const QRect& area);

// The position to give QWidget::move for a window whose frame's top-left
// corner should be at `outer`. Once the window has been framed the toolkit
// takes a top-level's position as its frame's; before that it knows no
// frame and the position becomes the client's (the manager then draws the
// title bar above it: for a window at the top of the area, above the
// screen, out of reach).
QPoint kvr_position_to_ask(QPoint outer, bool frame_known, const QMargins& frame);

// Keeps the child window `w` (a top-level with a parent) on its screen: at
// its first showing its size is bounded by the area and it is placed over
// its parent's window; once framed, a frame larger than estimated takes its
// room from the window. `minimum`: the smallest size the window is useful at.
void kvr_keep_on_screen(QWidget* w, QSize minimum = QSize(160, 80));
