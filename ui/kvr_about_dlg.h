#pragma once
// The about box: icon, version text, rights notice and "OK".

#include <QDialog>
#include <QIcon>

// The program icon (also the window icon).
QIcon kvr_app_icon();

class kvr_about_dlg : public QDialog {
public:
    explicit kvr_about_dlg(QWidget* parent = nullptr);
};
