#pragma once

#include <QDialog>
#include <QString>
#include <QVariant>

class QSettings;

namespace Ui {
class Settings;
}

// The editor of settings.ini: one instrument at a time, selected by its id.
// There is no Save button; every edit the operator makes is written at once.
class Settings : public QDialog
{
    Q_OBJECT

public:
    explicit Settings(QWidget *parent = nullptr);
    ~Settings() override;

public slots:
    void instrumentChanged();
    void newInstrument();
    void removeInstrument();
    void inputFieldModified();

private:
    void loadInstruments();
    void loadConfig(QString id);
    void saveCurrentConfig();
    void addComPorts();
    void selectComPort(const QString &storedPort);
    QVariant comPortValue() const;
    void suggestFactoryLine();
    void flushStore();
    void loadWeighing(const QString &id);
    void saveWeighing(const QString &id);
    // Enables, shows and explains the editors that apply to the shown
    // type, record mode and port.
    void showApplicable();

    QSettings *store = nullptr;
    // False while the dialog fills the editors itself, so that loading
    // never writes.
    bool autoSave = false;
    Ui::Settings *ui;
    // A failed write is shown once per dialog; later ones are only logged.
    bool writeFailureShown = false;
    // The type shown before the latest change of the Type list.
    QString shownType;
};
