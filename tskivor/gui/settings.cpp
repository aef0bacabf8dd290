#include "settings.h"

#include <QSpinBox>
#include <QProcess>
#include <QApplication>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include "colour.h"
#include "prompts.h"

namespace tskivor {

namespace {

class FieldValidator final : public QValidator {
public:
    FieldValidator(std::size_t maxBytes, QObject* parent) : QValidator(parent), maxBytes_(maxBytes) {}
    State validate(QString& input, int&) const override {
        return fittingLength(input, maxBytes_) == static_cast<std::size_t>(input.size()) ? Acceptable : Invalid;
    }

private:
    std::size_t maxBytes_;
};

QLineEdit* colourField() {
    auto* f = new QLineEdit;
    f->setMaxLength(6);
    f->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9A-Fa-f]{0,6}")), f));
    return f;
}

QWidget* withButton(QLineEdit* field, QPushButton* button) {
    auto* row = new QWidget;
    auto* l = new QHBoxLayout(row);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(field);
    l->addWidget(button);
    return row;
}


}  // namespace

bool SettingsPage::refuse(Prompts& prompts, const QString& why, QWidget* field) {
    if (bringToFront) bringToFront();  // not over the page being switched to
    prompts.message(this, why, QString(), MessageIcon::None);
    if (field) field->setFocus();
    return false;
}

void setEditable(QLineEdit* field, bool editable) {
    field->setReadOnly(!editable);
    const QPalette app = QApplication::palette(field);
    QPalette pal = field->palette();
    pal.setColor(QPalette::Base, app.color(editable ? QPalette::Base : QPalette::Window));
    pal.setColor(QPalette::Text, app.color(editable ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    field->setPalette(pal);
}

void limitToField(QLineEdit* field, std::size_t maxBytes) { field->setValidator(new FieldValidator(maxBytes, field)); }

QLineEdit* digitsField() {
    auto* f = new QLineEdit;
    f->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), f));
    f->setAlignment(Qt::AlignRight);
    return f;
}

// --- Posting style ---------------------------------------------------------

CSettingsPostStyle::CSettingsPostStyle()
    : uuencodeFirstOnly(new QCheckBox(QStringLiteral("Uuencode first article only"))),
      useUuencoding(new QCheckBox(QStringLiteral("Use uuencoding"))),
      nonFolderLike(new QCheckBox(QStringLiteral("Non folder like subject"))),
      contactSheets(new QCheckBox(QStringLiteral("Auto generate contactsheets"))),
      checkPosts(new QCheckBox(QStringLiteral("Check posts on the server"))),
      resume(new QCheckBox(QStringLiteral("Resume an interrupted posting"))),
      terminal(new QCheckBox(QStringLiteral("Run each job in a terminal window"))),
      privatePosting(new QCheckBox(QStringLiteral("Private posting (random names on the wire)"))),
      eachRelease(new QCheckBox(QStringLiteral("Each subfolder is a release of its own"))),
      nzbTitle(new QLineEdit),
      nzbPassword(new QLineEdit),
      nzbCategory(new QLineEdit),
      archive(new QCheckBox(QStringLiteral("Pack into a password-protected archive"))),
      archivePassword(new QLineEdit),
      volumeMiB(new QSpinBox),
      checkServer(new QLineEdit),
      domain(new QLineEdit),
      afterCommand(new QLineEdit),
      nzbTags(new QLineEdit),
      checkDelay(new QSpinBox) {
    setWindowTitle(QStringLiteral("Posting style"));
    auto* l = new QVBoxLayout(this);
    for (QCheckBox* b : {uuencodeFirstOnly, useUuencoding, nonFolderLike, contactSheets, checkPosts, resume, terminal,
                         privatePosting, eachRelease})
        l->addWidget(b);
    privatePosting->setToolTip(QStringLiteral("Random subjects, file names and senders on the server; the real names "
                                              "stay in the NZB file. No contact sheets or intro text."));
    auto* nzb = new QGroupBox(QStringLiteral("NZB details for indexers"));
    auto* form = new QFormLayout(nzb);
    form->addRow(QStringLiteral("Title:"), nzbTitle);
    form->addRow(QStringLiteral("Password:"), nzbPassword);
    form->addRow(QStringLiteral("Category:"), nzbCategory);
    form->addRow(QStringLiteral("Tags:"), nzbTags);
    nzbTags->setPlaceholderText(QStringLiteral("comma-separated"));
    l->addWidget(nzb);
    auto* more = new QGroupBox(QStringLiteral("Check, Message-IDs and afterwards"));
    auto* moreForm = new QFormLayout(more);
    checkServer->setPlaceholderText(QStringLiteral("the server posted on"));
    checkDelay->setRange(-1, 86400);
    checkDelay->setSpecialValueText(QStringLiteral("default (5 s)"));
    checkDelay->setSuffix(QStringLiteral(" s"));
    domain->setPlaceholderText(QStringLiteral("tarvel-skivor.example.org"));
    afterCommand->setPlaceholderText(QStringLiteral("a shell command (TSKIVO_NZB is set)"));
    moreForm->addRow(QStringLiteral("Check on server:"), checkServer);
    moreForm->addRow(QStringLiteral("Check after:"), checkDelay);
    moreForm->addRow(QStringLiteral("Message-ID domain:"), domain);
    moreForm->addRow(QStringLiteral("After posting run:"), afterCommand);
    l->addWidget(more);
    auto* packing = new QGroupBox(QStringLiteral("Archive"));
    auto* packForm = new QFormLayout(packing);
    packForm->addRow(archive);
    archive->setToolTip(QStringLiteral("Each folder's files go into a 7z archive (AES-256, names encrypted) in "
                                       "volumes; the password is written into the NZB file."));
    archivePassword->setPlaceholderText(QStringLiteral("made at random for each posting when empty"));
    archivePassword->setEchoMode(QLineEdit::PasswordEchoOnEdit);
    volumeMiB->setRange(1, 1 << 20);
    volumeMiB->setSuffix(QStringLiteral(" MiB"));
    packForm->addRow(QStringLiteral("Archive password:"), archivePassword);
    packForm->addRow(QStringLiteral("Volume size:"), volumeMiB);
    l->addWidget(packing);
    l->addStretch();
    const auto packingFields = [this] {
        archivePassword->setEnabled(archive->isChecked());
        volumeMiB->setEnabled(archive->isChecked());
    };
    connect(archive, &QCheckBox::toggled, this, packingFields);
    packingFields();
    connect(uuencodeFirstOnly, &QCheckBox::clicked, this, &CSettingsPostStyle::enforceUuencodeRule);
    connect(useUuencoding, &QCheckBox::clicked, this, &CSettingsPostStyle::enforceUuencodeRule);
}

void CSettingsPostStyle::enforceUuencodeRule() {
    if (uuencodeFirstOnly->isChecked()) useUuencoding->setChecked(false);
}

void CSettingsPostStyle::showValues() {
    uuencodeFirstOnly->setChecked(values.uuencodeFirstOnly);
    useUuencoding->setChecked(values.useUuencoding);
    nonFolderLike->setChecked(values.nonFolderLike);
    contactSheets->setChecked(values.contactSheets);
    checkPosts->setChecked(values.checkPosts);
    resume->setChecked(values.resume);
    terminal->setChecked(values.terminal);
    privatePosting->setChecked(values.privatePosting);
    nzbTitle->setText(values.nzbTitle);
    nzbPassword->setText(values.nzbPassword);
    nzbCategory->setText(values.nzbCategory);
    archive->setChecked(values.archive);
    archivePassword->setText(values.archivePassword);
    volumeMiB->setValue(values.volumeMiB);
    checkServer->setText(values.checkServer);
    checkDelay->setValue(values.checkDelay);
    domain->setText(values.domain);
    afterCommand->setText(values.afterCommand);
    nzbTags->setText(values.nzbTags);
    eachRelease->setChecked(values.eachRelease);
}

bool CSettingsPostStyle::takeValues() {
    values = {uuencodeFirstOnly->isChecked(), useUuencoding->isChecked(), nonFolderLike->isChecked(),
              contactSheets->isChecked(),       checkPosts->isChecked(),    resume->isChecked(),
              terminal->isChecked(),            privatePosting->isChecked(), nzbTitle->text(),
              nzbPassword->text(),              nzbCategory->text(),
              archive->isChecked(),             archivePassword->text(),   volumeMiB->value(),
              checkServer->text().trimmed(),    checkDelay->value(),       domain->text().trimmed(),
              afterCommand->text().trimmed(),   nzbTags->text(),           eachRelease->isChecked()};
    return true;
}

// --- Contact sheet ---------------------------------------------------------

CSettingsContactSheet::CSettingsContactSheet(Prompts& prompts)
    : authorLogo(new QLineEdit),
      fontColour(colourField()),
      backgroundColour(colourField()),
      backgroundImage(new QLineEdit),
      prompts_(prompts) {
    setWindowTitle(QStringLiteral("Contactsheet"));
    limitToField(authorLogo);
    limitToField(backgroundImage);
    auto* form = new QFormLayout(this);
    auto button = [this](auto handler) {
        auto* b = new QPushButton(QStringLiteral("..."));
        b->setMaximumWidth(32);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    form->addRow(QStringLiteral("Author logo:"), withButton(authorLogo, button([this] { chooseImage(authorLogo); })));
    form->addRow(QStringLiteral("Font color:"),
                 withButton(fontColour, button([this] { chooseColour(fontColour, values.fontColour); })));
    form->addRow(QStringLiteral("Background color:"),
                 withButton(backgroundColour, button([this] { chooseColour(backgroundColour, values.backgroundColour); })));
    form->addRow(QStringLiteral("Background image:"),
                 withButton(backgroundImage, button([this] { chooseImage(backgroundImage); })));
}

void CSettingsContactSheet::chooseImage(QLineEdit* field) {
    const auto path = prompts_.openFile(this, QStringLiteral("Common (*.jpg *.png *.bmp *.tif *.tga);;All (*)"));
    // Cancelling empties the field.
    field->setText(path ? *path : QString());
}

void CSettingsContactSheet::chooseColour(QLineEdit* field, QString& value) {
    // A text that is not six hex digits starts the picker on the colour the
    // field last held, never on an undefined one.
    const std::optional<std::uint32_t> typed = parseColourText(field->text());
    const std::optional<std::uint32_t> previous = parseColourText(value);
    value = field->text();
    const std::uint32_t start = typed ? *typed : previous ? *previous : 0;
    const auto picked = prompts_.pickColour(this, platformColour(fromRgbValue(start)));
    if (!picked) return;
    const Rgb c = fromPlatformColour(*picked);
    value = colourText(static_cast<std::uint32_t>(c.red << 16 | c.green << 8 | c.blue));
    field->setText(value);
}

void CSettingsContactSheet::showValues() {
    authorLogo->setText(values.authorLogo);
    fontColour->setText(values.fontColour);
    backgroundColour->setText(values.backgroundColour);
    backgroundImage->setText(values.backgroundImage);
}

bool CSettingsContactSheet::takeValues() {
    values = {authorLogo->text(), fontColour->text(), backgroundColour->text(), backgroundImage->text()};
    return true;
}

// --- Server ----------------------------------------------------------------

CSettingsServer::CSettingsServer(Prompts& prompts)
    : server(new QLineEdit),
      port(digitsField()),
      maxLines(digitsField()),
      userName(new QLineEdit),
      password(new QLineEdit),
      connections(digitsField()),
      jobsAtOnce(digitsField()),
      backupServer(new QLineEdit),
      backupUser(new QLineEdit),
      backupPassword(new QLineEdit),
      proxy(new QLineEdit),
      useAuthentication(new QCheckBox(QStringLiteral("Use server authentication"))),
      useTls(new QCheckBox(QStringLiteral("Use SSL/TLS"))),
      backupTls(new QCheckBox(QStringLiteral("Backup uses SSL/TLS"))),
      prompts_(prompts) {
    setWindowTitle(QStringLiteral("Server"));
    for (QLineEdit* f : {server, userName, password}) limitToField(f);
    password->setEchoMode(QLineEdit::Password);
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Newsserver:"), server);
    form->addRow(QStringLiteral("Port:"), port);
    form->addRow(QStringLiteral("Max. lines:"), maxLines);
    form->addRow(useTls);
    form->addRow(QStringLiteral("Connections:"), connections);
    connections->setToolTip(QStringLiteral("How many connections post at once (1 to 64)."));
    form->addRow(QStringLiteral("Jobs at once:"), jobsAtOnce);
    jobsAtOnce->setToolTip(QStringLiteral("How many directories post at the same time (1 to 16); the rest wait."));
    form->addRow(useAuthentication);
    form->addRow(QStringLiteral("Username:"), userName);
    form->addRow(QStringLiteral("Password:"), password);
    form->addRow(QStringLiteral("Backup server:"), backupServer);
    backupServer->setPlaceholderText(QStringLiteral("host[:port], optional"));
    backupServer->setToolTip(QStringLiteral("Articles the server refuses or keeps failing go here."));
    form->addRow(QStringLiteral("Backup username:"), backupUser);
    form->addRow(QStringLiteral("Backup password:"), backupPassword);
    form->addRow(backupTls);
    form->addRow(QStringLiteral("SOCKS5 proxy:"), proxy);
    testConnection = new QPushButton(QStringLiteral("&Test connection"));
    testConnection->setToolTip(QStringLiteral("Connects as a posting would (TLS, log-in, proxy) and says what the server allows."));
    form->addRow(testConnection);
    connect(testConnection, &QPushButton::clicked, this, &CSettingsServer::testServer);
    proxy->setPlaceholderText(QStringLiteral("socks5://[user:password@]host:port"));
    backupPassword->setEchoMode(QLineEdit::Password);
    for (QLineEdit* f : {backupServer, backupUser, backupPassword, proxy}) limitToField(f);
    connect(useAuthentication, &QCheckBox::clicked, this, &CSettingsServer::authenticationClicked);
    connect(useTls, &QCheckBox::clicked, this, &CSettingsServer::tlsClicked);
}

void CSettingsServer::tlsClicked() {
    // A port that holds the other default follows the box.
    const QString from = useTls->isChecked() ? QStringLiteral("119") : QStringLiteral("563");
    if (port->text().trimmed() == from) port->setText(useTls->isChecked() ? QStringLiteral("563") : QStringLiteral("119"));
}

void CSettingsServer::authenticationClicked() {
    const bool on = useAuthentication->isChecked();
    setEditable(userName, on);
    setEditable(password, on);
}

void CSettingsServer::testServer() {
    if (!takeValues()) return;
    const QString runner = runnerProgram ? runnerProgram() : QString();
    QStringList args{QStringLiteral("--test-server"), values.server.trimmed()};
    args << QStringLiteral("/port=%1").arg(values.port);
    if (values.useTls) args << QStringLiteral("/ssl");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TSKIVO_PASSWORD"));
    env.remove(QStringLiteral("TSKIVO_PROXY"));
    if (values.useAuthentication && !values.userName.isEmpty()) {
        args << QStringLiteral("/u=") + values.userName;
        env.insert(QStringLiteral("TSKIVO_PASSWORD"), values.password);
    }
    if (!values.proxy.trimmed().isEmpty()) env.insert(QStringLiteral("TSKIVO_PROXY"), values.proxy.trimmed());
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    QApplication::setOverrideCursor(Qt::WaitCursor);
    p.start(runner, args);
    const bool ended = p.waitForStarted(5000) && p.waitForFinished(90000);
    QApplication::restoreOverrideCursor();
    QStringList lines;
    for (const QString& line : QString::fromUtf8(p.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (!line.startsWith(QStringLiteral("Tarvel Skivor v"))) lines << line.trimmed();
    const bool ok = ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ended) lines << (p.error() == QProcess::FailedToStart ? QStringLiteral("The runner %1 could not be started.").arg(runner)
                                                               : QStringLiteral("No answer within 90 seconds."));
    lastTest = (ok ? QStringLiteral("The server can be posted on.\n\n") : QStringLiteral("The test failed.\n\n")) +
               lines.join(QLatin1Char('\n'));
    prompts_.message(this, lastTest, QStringLiteral("Test connection"), ok ? MessageIcon::Information : MessageIcon::Error);
}

void CSettingsServer::showValues() {
    server->setText(values.server);
    port->setText(QString::number(values.port));
    maxLines->setText(QString::number(values.maxLines));
    useAuthentication->setChecked(values.useAuthentication);
    userName->setText(values.userName);
    password->setText(values.password);
    useTls->setChecked(values.useTls);
    connections->setText(QString::number(values.connections));
    jobsAtOnce->setText(QString::number(values.jobsAtOnce));
    backupServer->setText(values.backupServer);
    backupUser->setText(values.backupUser);
    backupPassword->setText(values.backupPassword);
    backupTls->setChecked(values.backupTls);
    proxy->setText(values.proxy);
    authenticationClicked();
}

bool CSettingsServer::takeValues() {
    int numbers[2] = {};
    QLineEdit* const fields[2] = {port, maxLines};
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        numbers[i] = fields[i]->text().toInt(&ok);
        if (!ok) {
            return refuse(prompts_, QStringLiteral("Please enter an integer."), fields[i]);
        }
    }
    bool ok = false;
    const int count = connections->text().toInt(&ok);
    if (!ok || count < 1 || count > 64)
        return refuse(prompts_, QStringLiteral("Please enter a number of connections from 1 to 64."), connections);
    const int jobs = jobsAtOnce->text().toInt(&ok);
    if (!ok || jobs < 1 || jobs > 16)
        return refuse(prompts_, QStringLiteral("Please enter a number of jobs at once from 1 to 16."), jobsAtOnce);
    const QString url = proxy->text().trimmed();
    if (!url.isEmpty() && !url.startsWith(QStringLiteral("socks5://")))
        return refuse(prompts_, QStringLiteral("Please enter the proxy as socks5://[user:password@]host:port."), proxy);
    values = {server->text(),       numbers[0],          numbers[1],          useAuthentication->isChecked(),
              userName->text(),     password->text(),    useTls->isChecked(), count,
              jobs,                 backupServer->text().trimmed(), backupUser->text(), backupPassword->text(),
              backupTls->isChecked(), url};
    return true;
}

// --- PAR2 ------------------------------------------------------------------

CSettingsPAR2::CSettingsPAR2(Prompts& prompts)
    : create(new QCheckBox(QStringLiteral("Create PAR2 recovery files"))),
      recovery(new QSlider(Qt::Horizontal)),
      recoveryValue(new QLabel),
      generate(digitsField()),
      blockCount(new QLineEdit),
      blockSize(digitsField()),
      equalFileSizes(new QCheckBox(QStringLiteral("equal file sizes."))),
      prompts_(prompts) {
    setWindowTitle(QStringLiteral("PAR2"));
    auto* l = new QVBoxLayout(this);
    l->addWidget(create);
    auto* percentage = new QGroupBox(QStringLiteral("Recovery percentage"));
    auto* sliderRow = new QHBoxLayout(percentage);
    sliderRow->addWidget(recovery, 1);
    sliderRow->addWidget(recoveryValue);
    recoveryValue->setMinimumWidth(recoveryValue->fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 4);
    recoveryValue->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    recovery->setTickPosition(QSlider::TicksBelow);
    connect(recovery, &QSlider::valueChanged, this,
            [this](int v) { recoveryValue->setText(QStringLiteral("%1%").arg(v)); });
    connect(create, &QCheckBox::toggled, this, &CSettingsPAR2::createClicked);
    auto* files = new QGroupBox(QStringLiteral("Static"));
    auto* row = new QHBoxLayout(files);
    row->addWidget(new QLabel(QStringLiteral("Generate")));
    row->addWidget(generate);
    row->addWidget(new QLabel(QStringLiteral("PAR2 files, with")));
    row->addWidget(equalFileSizes);
    auto* blocks = new QGroupBox(QStringLiteral("Segment (block) information"));
    auto* form = new QFormLayout(blocks);
    form->addRow(QStringLiteral("Block count:"), blockCount);
    form->addRow(QStringLiteral("Block size:"), blockSize);
    l->addWidget(percentage);
    l->addWidget(files);
    l->addWidget(blocks);
    l->addStretch();
}

void CSettingsPAR2::showValues() {
    recovery->setRange(0, 100);
    recovery->setTickInterval(5);
    create->setChecked(values.on);
    recovery->setValue(values.percent);
    generate->setText(values.files ? QString::number(values.files) : QString());
    equalFileSizes->setChecked(values.equal);
    blockCount->setText(values.blocks ? QString::number(values.blocks) : QString());
    blockSize->setText(values.blockSize ? QString::number(values.blockSize) : QString());
    recoveryValue->setText(QStringLiteral("%1%").arg(recovery->value()));
    createClicked();
}

void CSettingsPAR2::createClicked() {
    // While PAR2 is off, its values are kept but not edited.
    const bool on = create->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{recovery, recoveryValue, generate, equalFileSizes, blockCount,
                                                      blockSize})
        w->setEnabled(on);
}

bool CSettingsPAR2::takeValues() {
    // Empty fields mean the creator's defaults.
    const auto number = [](const QLineEdit* f, qulonglong& v) {
        bool ok = true;
        v = f->text().trimmed().isEmpty() ? 0 : f->text().trimmed().toULongLong(&ok);
        return ok;
    };
    qulonglong files = 0, count = 0, size = 0;
    QString problem;
    if (!number(generate, files) || files > 1000) problem = QStringLiteral("Please enter a number of PAR2 files from 1 to 1000.");
    else if (!number(blockCount, count) || count > 32768) problem = QStringLiteral("Please enter a block count from 1 to 32768.");
    else if (!number(blockSize, size) || size % 4 != 0) problem = QStringLiteral("Please enter a block size that is a multiple of 4.");
    else if (create->isChecked() && recovery->value() < 1) problem = QStringLiteral("Please choose a recovery percentage above 0.");
    if (!problem.isEmpty()) return refuse(prompts_, problem);
    values = {create->isChecked(), recovery->value(), static_cast<int>(files), equalFileSizes->isChecked(),
              static_cast<std::uint32_t>(count), size};
    return true;
}

// --- the sheet -------------------------------------------------------------

CSettings::CSettings(Prompts& prompts, QWidget* parent)
    : QDialog(parent), contactSheet(prompts), server(prompts), par2(prompts), tabs_(new QTabWidget) {
    setWindowTitle(QStringLiteral("Settings"));
    for (SettingsPage* p : std::initializer_list<SettingsPage*>{&postStyle, &contactSheet, &server, &par2}) {
        tabs_->addTab(p, p->windowTitle());
        p->bringToFront = [this, p] {
            QSignalBlocker block(tabs_);
            tabs_->setCurrentWidget(p);
        };
    }
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply);
    // No page ever marks itself changed.
    buttons_->button(QDialogButtonBox::Apply)->setEnabled(false);
    connect(buttons_, &QDialogButtonBox::accepted, this, &CSettings::okClicked);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(tabs_, &QTabWidget::currentChanged, this, &CSettings::tabChanged);
    auto* l = new QVBoxLayout(this);
    l->addWidget(tabs_);
    l->addWidget(buttons_);
}

CSettings::~CSettings() {
    // The pages go before the tab widget does; their removal must not be
    // taken for the user leaving a page.
    disconnect(tabs_, nullptr, this, nullptr);
}

SettingsPage* CSettings::page(int index) const { return static_cast<SettingsPage*>(tabs_->widget(index)); }

void CSettings::showEvent(QShowEvent* e) {
    shownTab_ = tabs_->currentIndex();
    page(shownTab_)->showValues();
    QDialog::showEvent(e);
}

void CSettings::tabChanged(int index) {
    if (index < 0 || index == shownTab_) return;
    if (!page(shownTab_)->takeValues()) {
        // The page with the bad entry stays on top.
        QSignalBlocker block(tabs_);
        tabs_->setCurrentIndex(shownTab_);
        return;
    }
    shownTab_ = index;
    page(index)->showValues();
}

void CSettings::okClicked() {
    if (page(tabs_->currentIndex())->takeValues()) accept();
}

void CSettings::ApplyProfileToPages() {
    const ProfileData& p = profile_;
    contactSheet.values = {fieldText(p.authorLogo), colourText(p.fontColour), colourText(p.backgroundColour),
                           fieldText(p.backgroundImage)};
    const ProfileExtras& x = p.extras;
    const auto text = [](const std::string& s) { return QString::fromStdString(s); };
    postStyle.values = {p.uuencodeFirstOnly, p.useUuencoding,    p.nonFolderLikeSubject, p.contactSheets,
                        p.checkPosts(),      p.resume(),         x.terminal,             x.privatePosting,
                        text(x.nzbTitle),    text(x.nzbPassword), text(x.nzbCategory),
                        x.archive,           text(x.archivePassword), x.volumeMiB,
                        text(x.checkServer), x.checkDelay,        text(x.domain),
                        text(x.afterCommand), text(x.nzbTags),    x.eachRelease};
    server.values = {fieldText(p.server),   p.port,           p.maxLines,  p.useAuthentication,
                     fieldText(p.userName), fieldText(p.password), p.useTls(), p.connections(),
                     x.jobsAtOnce,          text(x.backupServer),  text(x.backupUser), text(x.backupPassword),
                     x.backupTls,           text(x.proxy)};
    par2.values = p.par2();
    if (isVisible()) page(tabs_->currentIndex())->showValues();
}

void CSettings::GatherPagesIntoProfile() {
    ProfileData& p = profile_;
    const auto& cs = contactSheet.values;
    // Colour text that is not six hex digits keeps the colour there was.
    if (const auto v = parseColourText(cs.backgroundColour)) p.backgroundColour = *v;
    if (const auto v = parseColourText(cs.fontColour)) p.fontColour = *v;
    p.authorLogo = fieldBytes(cs.authorLogo, p.authorLogo);
    p.backgroundImage = fieldBytes(cs.backgroundImage, p.backgroundImage);
    const auto& ps = postStyle.values;
    p.uuencodeFirstOnly = ps.uuencodeFirstOnly;
    p.useUuencoding = ps.useUuencoding;
    p.nonFolderLikeSubject = ps.nonFolderLike;
    p.contactSheets = ps.contactSheets;
    p.setCheckPosts(ps.checkPosts);
    p.setResume(ps.resume);
    const auto& sv = server.values;
    p.server = fieldBytes(sv.server, p.server);
    p.port = sv.port;
    p.maxLines = sv.maxLines;
    p.userName = fieldBytes(sv.userName, p.userName);
    p.password = fieldBytes(sv.password, p.password);
    p.useAuthentication = sv.useAuthentication;
    p.setUseTls(sv.useTls);
    p.setConnections(sv.connections);
    p.setPar2(par2.values);
    ProfileExtras& x = p.extras;
    x.terminal = ps.terminal;
    x.privatePosting = ps.privatePosting;
    x.nzbTitle = ps.nzbTitle.toStdString();
    x.nzbPassword = ps.nzbPassword.toStdString();
    x.nzbCategory = ps.nzbCategory.toStdString();
    x.archive = ps.archive;
    x.archivePassword = ps.archivePassword.toStdString();
    x.volumeMiB = ps.volumeMiB;
    x.checkServer = ps.checkServer.toStdString();
    x.checkDelay = ps.checkDelay;
    x.domain = ps.domain.toStdString();
    x.afterCommand = ps.afterCommand.toStdString();
    x.nzbTags = ps.nzbTags.toStdString();
    x.eachRelease = ps.eachRelease;
    x.jobsAtOnce = sv.jobsAtOnce;
    x.backupServer = sv.backupServer.toStdString();
    x.backupUser = sv.backupUser.toStdString();
    x.backupPassword = sv.backupPassword.toStdString();
    x.backupTls = sv.backupTls;
    x.proxy = sv.proxy.toStdString();
}

}  // namespace tskivor
