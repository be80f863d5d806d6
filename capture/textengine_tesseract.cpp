// The brightloom-text module: the text engine through Tesseract's C++ API.
#include "capture/textengine.h"

#include <QObject>
#include <QRect>
#include <QVector>
#include <memory>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

namespace BL::Capture {

namespace {

// True when the layout analysis put lines of different blocks side by side on the same rows.
// On a screen that is one block of text whose words line up in columns (monospaced text, forms,
// menus with their shortcuts), not columns to be read one after the other: row by row reads it
// as the person does.
bool blocksShareRows(tesseract::TessBaseAPI& api)
{
    const std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (!it)
        return false;
    struct SLine
    {
        int block;
        QRect box;
    };
    QVector<SLine> lines;
    int block = -1;
    do {
        if (it->IsAtBeginningOf(tesseract::RIL_BLOCK))
            ++block;
        int left = 0, top = 0, right = 0, bottom = 0;
        if (it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom))
            lines.push_back({block, QRect(QPoint(left, top), QPoint(right, bottom))});
    } while (it->Next(tesseract::RIL_TEXTLINE));
    for (int i = 0; i < lines.size(); ++i)
        for (int j = i + 1; j < lines.size(); ++j) {
            if (lines[i].block == lines[j].block)
                continue;
            const QRect& a = lines[i].box;
            const QRect& b = lines[j].box;
            const int shared = std::min(a.bottom(), b.bottom()) - std::max(a.top(), b.top());
            if (shared * 2 > std::min(a.height(), b.height()))
                return true;
        }
    return false;
}

} // namespace

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
        const auto readAs = [&](tesseract::PageSegMode mode) {
            m_api->SetPageSegMode(mode);
            m_api->SetImage(grey, width, height, 1, bytesPerLine);
            if (dotsPerInch > 0)
                m_api->SetSourceResolution(dotsPerInch);
            return std::unique_ptr<char[]>(m_api->GetUTF8Text());
        };
        std::unique_ptr<char[]> text = readAs(tesseract::PSM_AUTO);
        if (text && blocksShareRows(*m_api))
            text = readAs(tesseract::PSM_SINGLE_BLOCK);
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
