#pragma once
// The about box: the program's name, version and a line on what it does.
#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
};
