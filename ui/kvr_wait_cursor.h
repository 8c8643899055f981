#pragma once
// The wait cursor for the length of a scope, as the handlers that call the
// command station show it.

#include <QApplication>

class kvr_wait_cursor {
public:
    kvr_wait_cursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~kvr_wait_cursor() { QApplication::restoreOverrideCursor(); }
    kvr_wait_cursor(const kvr_wait_cursor&) = delete;
    kvr_wait_cursor& operator=(const kvr_wait_cursor&) = delete;
};
