// A POP3 mailbox (TMailPOP3). Every operation that can fail returns 0 or a
// MailResult code; an object belongs to one thread at a time.
#pragma once

#include <memory>
#include <vector>

#include "transport/MailReceiver.h"

namespace vmime::net {
class folder;
}

// A POP3 mailbox. Call order: settings, Connect, DownloadHeaders, the
// messages, DeleteSingleMessage, Disconnect (which makes the deletions final;
// an object dropped without Disconnect leaves every mail in place).
class TMailPOP3 : public TMailReceiver {
public:
  TMailPOP3();
  ~TMailPOP3() override;

  // 0: SASL PLAIN. 272: the USER and PASS commands.
  void SetAuthMode(int mode) { FAuthMode = mode; }

  int Connect();  // connects and logs in
  int DownloadHeaders();
  int DownloadMessage(int i) override;
  // Marks message i for deletion; the indexes stay valid until Disconnect.
  int DeleteSingleMessage(int i);
  int Disconnect();

private:
  // Drops the store, the folder and the messages, in that order.
  void DropSession();
  int FAuthMode = 0;
  std::shared_ptr<vmime::net::store> FStore;
  std::shared_ptr<vmime::net::folder> FFolder;
  std::vector<std::shared_ptr<vmime::net::message>> FMessages;
};
