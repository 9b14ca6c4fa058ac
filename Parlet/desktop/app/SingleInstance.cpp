#include "Parlet/desktop/app/SingleInstance.h"

#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/System/Folders.h"

namespace parlet::app {
namespace {

constexpr const char* kLockName = "parlet.lock";
constexpr const char* kSocketName = "parlet.socket";
constexpr const char* kReopen = "reopen\n";

// A real folder (no link) of this user that no one else may enter; else why not.
std::string whyUnsafeFolder(const std::filesystem::path& folder) {
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0) return folder.string() + ": " + std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return folder.string() + " is not a folder";
  if (info.st_uid != geteuid()) return folder.string() + " belongs to another user";
  if (info.st_mode & 077) return folder.string() + " is open to other users";
  return {};
}

}  // namespace

SingleInstance::SingleInstance(std::optional<std::filesystem::path> folder) : folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();  // removes the socket file
  if (lockFd_ >= 0) close(lockFd_);
}

std::filesystem::path SingleInstance::socketPath() const { return folder_ ? *folder_ / kSocketName : std::filesystem::path(); }

SingleInstance::Role SingleInstance::claim() {
  try {
    if (!folder_) folder_ = platform::system::privateTemporaryDirectory();
  } catch (const std::exception& error) {
    problem_ = error.what();
    return Role::unavailable;
  }
  if (std::string why = whyUnsafeFolder(*folder_); !why.empty()) {
    problem_ = why;
    return Role::unavailable;
  }
  const std::filesystem::path lock = *folder_ / kLockName;
  lockFd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    problem_ = lock.string() + ": " + std::strerror(errno);
    return Role::unavailable;
  }
  if (flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return Role::primary;
  const int error = errno;
  close(lockFd_);
  lockFd_ = -1;
  if (error == EWOULDBLOCK) return Role::secondary;
  problem_ = lock.string() + ": " + std::strerror(error);
  return Role::unavailable;
}

bool SingleInstance::listen(std::function<std::string()> onReopen) {
  if (lockFd_ < 0) {
    problem_ = "not the running copy";
    return false;
  }
  onReopen_ = std::move(onReopen);
  const QString path = QString::fromStdString(socketPath().string());
  // Holding the lock, no other copy serves here: a socket left by a killed one goes.
  QLocalServer::removeServer(path);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path)) {
    problem_ = server_->errorString().toStdString();
    server_.reset();
    return false;
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
        if (!client->canReadLine()) return;
        const QByteArray line = client->readLine();
        if (line == kReopen && onReopen_) {
          client->write(QByteArray::fromStdString(onReopen_() + "\n"));
          client->flush();
        }
        client->disconnectFromServer();
      });
    }
  });
  return true;
}

std::optional<std::string> SingleInstance::askToReopen(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left = [&] {
    return static_cast<int>(std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count()));
  };
  const std::filesystem::path path = socketPath();
  // The running copy may still be starting: its socket comes a moment after its lock.
  for (;;) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
      if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid()) {
        problem_ = path.string() + " is not this user's socket";
        return std::nullopt;
      }
      QLocalSocket socket;
      socket.connectToServer(QString::fromStdString(path.string()));
      if (socket.waitForConnected(left())) {
        socket.write(kReopen);
        socket.waitForBytesWritten(left());
        while (!socket.canReadLine() && socket.waitForReadyRead(left())) {
        }
        if (socket.canReadLine()) return socket.readLine().trimmed().toStdString();
        problem_ = "the running copy did not answer";
        return std::nullopt;
      }
    }
    if (left() == 0) {
      problem_ = "the running copy does not answer on " + path.string();
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace parlet::app
