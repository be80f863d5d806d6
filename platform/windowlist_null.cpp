#include "platform/backendfactories.h"
#include "platform/windowlist.h"

// No list of windows to be had (Wayland keeps each program's windows to itself, and a picture
// of the desktop holds none): window picking is not offered.
namespace BL::Platform {

namespace {

class CNullWindowList final : public CAbstractWindowList
{
public:
    bool available() const override { return false; }
    void follow(quint64) override {}
    void stop() override {}
    const QVector<STopLevelWindow>& windows() const override { return m_none; }
    QImage ownPixels(const STopLevelWindow&, const QRect&) override { return QImage(); }
    int fullReads() const override { return 0; }

private:
    const QVector<STopLevelWindow> m_none;
};

} // namespace

std::unique_ptr<CAbstractWindowList> createNullWindowList()
{
    return std::make_unique<CNullWindowList>();
}

} // namespace BL::Platform
