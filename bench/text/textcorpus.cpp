#include "textcorpus.h"

#include "textsample.h"

namespace BL::Bench {

using BL::Test::renderTextSample;

namespace {

struct SGroup
{
    const char* name;
    const char* family; // null: every font
    QStringList lines;
};

const std::vector<SGroup>& groups()
{
    static const std::vector<SGroup> all = {
        {"dialog",
         nullptr,
         {"The document could not be saved because the disk is full.",
          "Do you want to save the changes to \"Budget 2027.ods\" before closing?",
          "Your changes will be lost if you don't save them.",
          "The connection to the server timed out. Try again later.",
          "Are you sure you want to delete these 3 items permanently?",
          "An update is available. Restart now to install it?",
          "Permission denied: you cannot write to this folder.",
          "Remember my choice for files of this type"}},
        {"menu",
         nullptr,
         {"New Window", "Open Recent", "Save As...", "Print Preview", "Export as PDF...", "Find and Replace",
          "Select All", "Zoom In", "Full Screen", "Preferences", "Keyboard Shortcuts", "Check Spelling"}},
        {"paragraph",
         nullptr,
         {"Screenshots are often the quickest way to share what",
          "you see with a colleague, but the words inside them",
          "cannot be searched, copied or read aloud. Reading them",
          "back from the picture brings the text where it belongs:",
          "into a reply, a bug report or a translation tool, without",
          "typing it again letter by letter and making new mistakes."}},
        {"code",
         "DejaVu Sans Mono",
         {"for (int i = 0; i < count; ++i) {", "    total += values[i] * weight;", "}",
          "if (result != nullptr && result->size() > 0)", "    return std::move(result);",
          "const auto name = QStringLiteral(\"brightloom\");",
          "def parse(path, strict=False):", "    return json.loads(open(path).read())"}},
        {"numbers",
         nullptr,
         {"Total: 1,234.56 EUR", "Invoice 2026-0415, due 31.12.2026", "Build 5.12.3 (r48213)",
          "IPv4 192.168.10.254, port 8443", "+44 20 7946 0958", "Used 73.4 GB of 128 GB (57 %)",
          "2026-12-08 06:14:02 UTC", "ID 4f7a-91c3-0b2e"}},
        {"email",
         nullptr,
         {"alice.smith@example.org", "support+tickets@mail.example.com", "j.doe@university.example.edu",
          "no-reply@updates.example.net", "Bob Martin <bob.martin@example.co.uk>",
          "team-42@lists.example.org"}},
    };
    return all;
}

const char* const kFamilies[] = {"DejaVu Sans", "DejaVu Serif", "DejaVu Sans Mono"};

} // namespace

std::vector<STextSample> makeTextCorpus(const std::vector<int>& points, const std::vector<double>& scales)
{
    std::vector<STextSample> corpus;
    int turn = 0;
    for (const SGroup& group : groups())
        for (const char* family : kFamilies) {
            if (group.family && QLatin1String(group.family) != QLatin1String(family))
                continue;
            for (int size : points)
                for (double scale : scales)
                    for (bool dark : {false, true}) {
                        STextSample sample;
                        sample.group = QLatin1String(group.name);
                        sample.family = QLatin1String(family);
                        sample.points = size;
                        sample.scale = scale;
                        sample.dark = dark;
                        // Three or four lines, a different run of them each time.
                        const int count = group.lines.size() >= 6 ? 4 : 3;
                        for (int i = 0; i < count; ++i)
                            sample.lines << group.lines.at((turn + i) % group.lines.size());
                        ++turn;
                        sample.picture = renderTextSample(sample.lines, sample.family, size, scale, dark);
                        corpus.push_back(std::move(sample));
                    }
        }
    return corpus;
}

STextSample makeLatencySample()
{
    STextSample sample;
    sample.group = QStringLiteral("latency");
    sample.family = QStringLiteral("DejaVu Sans");
    sample.points = 10;
    const auto& dialog = groups().front().lines;
    sample.lines = QStringList{dialog[0], dialog[1], dialog[2], dialog[3], dialog[4], dialog[5], dialog[6]};
    sample.picture = renderTextSample(sample.lines, sample.family, sample.points, 1.0, false, QSize(800, 200))
                         .copy(0, 0, 800, 200);
    return sample;
}

} // namespace BL::Bench
