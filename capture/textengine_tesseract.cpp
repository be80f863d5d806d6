// The brightloom-text module: the text engine through Tesseract's C++ API.
#include "capture/textengine.h"

#include <QObject>
#include <memory>
#include <tesseract/baseapi.h>

namespace BL::Capture {

class CTesseractEngine : public QObject, public CAbstractTextEngine
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID BL_TEXT_ENGINE_IID)
    Q_INTERFACES(BL::Capture::CAbstractTextEngine)

public:
    bool start(const QByteArray& dataDir, const QByteArray& languages, bool ownInversion) override
    {
        stop();
        auto api = std::make_unique<tesseract::TessBaseAPI>();
        // Its warnings ("empty page", guessed resolutions) say nothing the person can act on.
        api->SetVariable("debug_file", "/dev/null");
        if (api->Init(dataDir.constData(), languages.constData(), tesseract::OEM_LSTM_ONLY) != 0)
            return false;
        api->SetPageSegMode(tesseract::PSM_AUTO);
        if (!ownInversion)
            api->SetVariable("tessedit_do_invert", "0");
        m_api = std::move(api);
        return true;
    }

    QByteArray read(const uchar* grey, int width, int height, int bytesPerLine, int dotsPerInch) override
    {
        if (!m_api)
            return QByteArray();
        m_api->SetImage(grey, width, height, 1, bytesPerLine);
        if (dotsPerInch > 0)
            m_api->SetSourceResolution(dotsPerInch);
        const std::unique_ptr<char[]> text(m_api->GetUTF8Text());
        m_api->Clear();
        return text ? QByteArray(text.get()) : QByteArray();
    }

    void stop() override
    {
        if (!m_api)
            return;
        m_api->End();
        m_api.reset();
        // The dictionaries outlive End() in a cache of the library's own, for the next engine.
        tesseract::TessBaseAPI::ClearPersistentCache();
    }

private:
    std::unique_ptr<tesseract::TessBaseAPI> m_api;
};

} // namespace BL::Capture

#include "textengine_tesseract.moc"
