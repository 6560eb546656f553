#pragma once

#include <QString>
#include <QWidget>

namespace Ui {
class UserHelperForm;
}

// The help page: the user guide from the program's resources in a read-only browser.
class UserHelperForm : public QWidget
{
    Q_OBJECT
public:
    explicit UserHelperForm(QWidget *parent);
    // Shows the guide read from guidePath (tests use a path that is missing or their own).
    UserHelperForm(QWidget *parent, const QString &guidePath);
    ~UserHelperForm() override;

    static QString defaultGuidePath();

private:
    Ui::UserHelperForm *ui;
};
