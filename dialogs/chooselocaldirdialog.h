#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class dlgChooseLocalDir;
}

// Lets the user pick the directory local shots are saved into; OK is enabled while the
// field names an existing path.
class CChooseLocalDirDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CChooseLocalDirDialog)

public:
    explicit CChooseLocalDirDialog(const QString& initialDir, QWidget* parent = nullptr);
    ~CChooseLocalDirDialog() override;

    // The field's text exactly as it stands, separators and all.
    QString selectedDirectory() const;

private slots:
    void onBrowseClicked();
    void onDirTextChanged(const QString& path);

private:
    std::unique_ptr<Ui::dlgChooseLocalDir> ui;
};
