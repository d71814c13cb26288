// The installation settings: an INI file that an installation writes and the
// program only reads ($KESTRO_SETTINGS, else $XDG_CONFIG_HOME/kestro/settings.ini).
#pragma once

#include <QString>

struct ProviderSettings {
  QString Pop3Server = "pop.gmail.com";
  int Pop3Port = 995;
  QString Imap4Server = "imap.gmail.com";
  int Imap4Port = 993;
  QString SmtpServer = "smtp.gmail.com";
  int SmtpPort = 465;
  QString Domain = "gmail.com";
  bool Ssl = true;
  QString CaFile;  // extra certificate authorities to trust, PEM
};

struct InstallSettings {
  // [Options]
  QString Home, Name, QuickStart, Log, LocalizerExt, TempInput, TempOutput, Conf;
  double Pace = 1.0;
  // [Provider]
  ProviderSettings Provider;
  // The file the values came from (may not exist).
  QString File;
  bool FileExists = false;

  // Reads the file now. Without a file, the defaults of a default installation.
  static InstallSettings Read();
  // The settings of this process, read once on first use.
  static const InstallSettings& Current();
  // Forgets what Current read, so that the next call reads again (tests).
  static void Reload();
};

// $XDG_CONFIG_HOME, or ~/.config.
QString XdgConfigHome();
