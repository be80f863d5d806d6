#include "api/simplejson.h"

#include <QRandomGenerator>
#include <QtTest>

// The reader's quirks are a contract with the service, so each one is pinned here.
class TestSimpleJson : public QObject
{
    Q_OBJECT

private slots:
    void readsValues_data();
    void readsValues();
    void readsOnlyUpToZeroByte();
    void survivesArbitraryBytes();
};

using Pairs = QList<QPair<QString, QString>>;
Q_DECLARE_METATYPE(Pairs)

void TestSimpleJson::readsValues_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Pairs>("expected");

    auto p = [](const char* k, const QString& v) { return qMakePair(QString::fromUtf8(k), v); };
    QTest::newRow("reservation") << QByteArray(R"({"status":"ok","code":"abc","url":"s:/abc"})")
                                 << Pairs{p("status", "ok"), p("code", "abc"), p("url", "s:/abc"),
                                          p("missing", "")};
    QTest::newRow("empty member stops reading")
        << QByteArray(R"({"status":"ok",,"code":"abc"})") << Pairs{p("status", "ok"), p("code", "")};
    QTest::newRow("leading comma reads nothing")
        << QByteArray(R"({,"status":"ok"})") << Pairs{p("status", "")};
    QTest::newRow("later duplicate wins") << QByteArray(R"({"a":"1","a":"2"})") << Pairs{p("a", "2")};
    QTest::newRow("member without colon") << QByteArray(R"({"flag"})") << Pairs{p("flag", "")};
    QTest::newRow("value equal to key") << QByteArray(R"({"x":"x"})") << Pairs{p("x", "")};
    QTest::newRow("quoted key text inside value removed")
        << QByteArray(R"({"k":"a"k"b"})") << Pairs{p("k", "ab")};
    QTest::newRow("braces in values removed")
        << QByteArray(R"({"error":"bad {x}"})") << Pairs{p("error", "bad x")};
    QTest::newRow("bare true") << QByteArray(R"({"exists":true})") << Pairs{p("exists", "true")};
    QTest::newRow("blank kept") << QByteArray(R"({"status": "ok"})") << Pairs{p("status", " ok")};
    QTest::newRow("colon inside value kept") << QByteArray(R"({"t":"a:b"})") << Pairs{p("t", "a:b")};
    QTest::newRow("comma splits value")
        << QByteArray(R"({"reason":"too big, sorry"})") << Pairs{p("reason", "too big")};
    QTest::newRow("nested object folds into the outer value")
        << QByteArray(R"({"a":{"b":"c"},"d":"e"})") << Pairs{p("a", "b:c"), p("b", ""), p("d", "e")};
    QTest::newRow("keys are case sensitive")
        << QByteArray(R"({"Status":"ok"})") << Pairs{p("Status", "ok"), p("status", "")};
    QTest::newRow("backslash not decoded") << QByteArray(R"({"p":"a\"b"})") << Pairs{p("p", "a\\b")};
    QTest::newRow("empty key") << QByteArray(R"({:"v"})") << Pairs{p("", "v")};
    QTest::newRow("empty body") << QByteArray() << Pairs{p("status", "")};
    QTest::newRow("utf8 value") << QByteArray("{\"n\":\"gr\xc3\xbc\xc3\x9f\"}")
                                << Pairs{p("n", QStringLiteral(u"gr\u00fc\u00df"))};
}

void TestSimpleJson::readsValues()
{
    QFETCH(QByteArray, reply);
    QFETCH(Pairs, expected);
    const CSimpleJson json(reply);
    for (const auto& pair : expected)
        QCOMPARE(json.value(pair.first), pair.second);
}

void TestSimpleJson::readsOnlyUpToZeroByte()
{
    static const char raw[] = "{\"status\":\"ok\",\"url\":\"u\0\",\"code\":\"c\"}";
    const QByteArray reply(raw, sizeof(raw) - 1);
    QVERIFY(reply.contains("code"));
    const CSimpleJson json(reply);
    QCOMPARE(json.value(QStringLiteral("status")), QStringLiteral("ok"));
    QCOMPARE(json.value(QStringLiteral("url")), QStringLiteral("u"));
    QCOMPARE(json.value(QStringLiteral("code")), QString());
}

void TestSimpleJson::survivesArbitraryBytes()
{
    // Invalid UTF-8 becomes replacement characters, never a crash.
    const CSimpleJson invalid(QByteArray("{\"s\":\"\xff\xfe\xc3\"}"));
    QCOMPARE(invalid.value(QStringLiteral("s")).size(), 3);
    QVERIFY(invalid.value(QStringLiteral("s")).contains(QChar::ReplacementCharacter));

    // Large, comma- and colon-heavy garbage: must finish (reading is linear) and not crash.
    QRandomGenerator random(4711);
    const char alphabet[] = "{}\",:ab\xff\x01 ";
    QByteArray noise(4 * 1024 * 1024, Qt::Uninitialized);
    for (char& c : noise)
        c = alphabet[random.bounded(int(sizeof(alphabet) - 1))];
    noise.replace('\0', 'a');
    const CSimpleJson huge(noise);
    Q_UNUSED(huge.value(QStringLiteral("a")))

    // Many well-formed members are all read.
    QByteArray many("{");
    many.reserve(2 * 1024 * 1024); // string-builder appends reserve exactly; avoid quadratic regrowth
    for (int i = 0; i < 100000; ++i)
        many += "\"k" + QByteArray::number(i) + "\":\"v" + QByteArray::number(i) + "\",";
    many += "\"last\":\"end\"}";
    const CSimpleJson wide(many);
    QCOMPARE(wide.value(QStringLiteral("k99999")), QStringLiteral("v99999"));
    QCOMPARE(wide.value(QStringLiteral("last")), QStringLiteral("end"));
}

QTEST_APPLESS_MAIN(TestSimpleJson)
#include "tst_simplejson.moc"
