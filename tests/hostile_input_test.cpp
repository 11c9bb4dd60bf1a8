// The worst a user can paste or type, through the real window: texts of the
// field's maximum length, overflowing numbers and radix runs, control
// characters, other scripts and emoji, and the error mark itself. Each is
// answered by the release of the key that delivered it, and the window goes
// on answering afterwards.

#include "calc_window_fixture.h"

class HostileInputTest : public CalcWindowFixture {
    Q_OBJECT

private slots:
    void pastedIntoAddress_data();
    void pastedIntoAddress();
    void pastedIntoTable_data();
    void pastedIntoTable();
    void errorTypedIntoEveryField();

private:
    // Replaces the field's text with the clipboard, as Ctrl+A, Ctrl+V does.
    void paste(const char *field, const QString &text)
    {
        QTest::mouseClick(edit(field), Qt::LeftButton);
        QCOMPARE(focus(), edit(field));
        QVERIFY(setClipboard(text));
        click(Qt::Key_A, Qt::ControlModifier);
        click(Qt::Key_V, Qt::ControlModifier);
    }
    void stillResponsive();
};

namespace {

QString maxLengthOf(QChar c, const QString &prefix = {})
{
    return prefix + QString(32767 - prefix.size(), c);
}

void addRow(const char *name, const QString &text, const char *a, const char *b, const char *c)
{
    QTest::newRow(name) << text << QString::fromUtf8(a) << QString::fromUtf8(b)
                        << QString::fromUtf8(c);
}

} // namespace

void HostileInputTest::pastedIntoAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("row");

    addRow("digits, maximum length", maxLengthOf(u'9'), "Error", "Error", "Error");
    addRow("minus and digits", maxLengthOf(u'9', QStringLiteral("-")), "Error", "Error", "Error");
    addRow("spaces, maximum length", maxLengthOf(u' '), "0", "0", "0");
    addRow("spaces then a number", maxLengthOf(u' ').chopped(5) + QStringLiteral("10241"), "5", "0",
        "1");
    addRow(
        "&H and many digits", maxLengthOf(u'F', QStringLiteral("&H")), "Error", "Error", "Error");
    addRow("huge exponent", QStringLiteral("1E") + QString(3000, u'9'), "Error", "Error", "Error");
    addRow("tiny exponent", QStringLiteral("1E-") + QString(3000, u'9'), "0", "0", "0");
    addRow("fraction digits", QStringLiteral("10241.") + QString(32000, u'0'), "5", "0", "1");
    addRow("control characters",
        QStringLiteral("\x01\x02\x1b\x7f"
                       "5"),
        "0", "0", "0");
    addRow("a number, then NUL",
        QString::fromUtf8("300\0"
                          "99",
            6),
        "0", "1", "44");
    addRow("carriage return", QStringLiteral("30\r1"), "0", "0", "30");
    addRow("Arabic-Indic digits", QStringLiteral("\u0661\u0660\u0662\u0664\u0661"), "0", "0", "0");
    addRow("fullwidth digits", QStringLiteral("\uFF11\uFF10\uFF12\uFF14\uFF11"), "0", "0", "0");
    addRow("Chinese numerals", QStringLiteral("\u4E00\u4E07"), "0", "0", "0");
    addRow("emoji after a number", QStringLiteral("2563\U0001F600"), "1", "2", "3");
    addRow("lone surrogate", QString(QChar(0xD800)) + QStringLiteral("7"), "0", "0", "0");
    addRow("right-to-left mark", QStringLiteral("\u200F42"), "0", "0", "0");
    addRow("no-break space", QStringLiteral("1\u00A02"), "0", "0", "1");
}

void HostileInputTest::pastedIntoAddress()
{
    if (!setClipboard(QStringLiteral("probe")))
        QSKIP("no clipboard on this display");
    QFETCH(QString, text);
    QFETCH(QString, table);
    QFETCH(QString, column);
    QFETCH(QString, row);

    paste("Address", text);
    QCOMPARE(edit("Address")->text(), text);
    VERIFY_SHOWN(text, table, column, row, QStringLiteral("Calculate Tables"));
    stillResponsive();
}

void HostileInputTest::pastedIntoTable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");

    QTest::newRow("digits, maximum length") << maxLengthOf(u'9') << QStringLiteral("Error");
    QTest::newRow("minus and digits")
        << maxLengthOf(u'9', QStringLiteral("-")) << QStringLiteral("Error");
    QTest::newRow("spaces, maximum length") << maxLengthOf(u' ') << QStringLiteral("0");
    QTest::newRow("&H and many digits")
        << maxLengthOf(u'F', QStringLiteral("&H")) << QStringLiteral("Error");
    QTest::newRow("&HFFFF is -1") << QStringLiteral("&HFFFF") << QStringLiteral("Error");
    QTest::newRow("control characters") << QStringLiteral("\x01\x02") << QStringLiteral("0");
    QTest::newRow("emoji") << QStringLiteral("\U0001F600\U0001F600") << QStringLiteral("0");
    QTest::newRow("digit then emoji") << QStringLiteral("5\U0001F600") << QStringLiteral("10240");
}

void HostileInputTest::pastedIntoTable()
{
    if (!setClipboard(QStringLiteral("probe")))
        QSKIP("no clipboard on this display");
    QFETCH(QString, text);
    QFETCH(QString, address);

    paste("Table", text);
    QCOMPARE(edit("Table")->text(), text);
    VERIFY_SHOWN(address, text, QStringLiteral("0"), QStringLiteral("0"),
        QStringLiteral("Calculate Address"));
    stillResponsive();
}

void HostileInputTest::errorTypedIntoEveryField()
{
    for (const char *field : { "Table", "Column", "Row" }) {
        QTest::mouseClick(edit(field), Qt::LeftButton);
        clearFocusedField();
        type(QStringLiteral("Error"));
    }
    VERIFY_SHOWN("0", "Error", "Error", "Error", "Calculate Address");

    QTest::mouseClick(edit("Address"), Qt::LeftButton);
    clearFocusedField();
    type(QStringLiteral("Error"));
    VERIFY_SHOWN("Error", "0", "0", "0", "Calculate Tables");
    stillResponsive();
}

// After the hostile text, the next ordinary input is answered at once.
void HostileInputTest::stillResponsive()
{
    QTest::mouseClick(edit("Address"), Qt::LeftButton);
    clearFocusedField();
    type(QStringLiteral("2563"));
    VERIFY_SHOWN("2563", "1", "2", "3", "Calculate Tables");
}

QTEST_MAIN(HostileInputTest)
#include "hostile_input_test.moc"
