// One TCP link to the Mux service and the two threads that serve it.
//
// Post encodes the message into the send queue and returns; the sender thread
// takes everything queued at once and hands it to the socket in as few send
// calls as it can, because each send costs tens of microseconds under Wine
// while the bytes of a whole queue cost hardly more than those of one message.
// A caller that will wait for the answer to its frame and finds the link idle
// (nothing queued, nothing being sent) sends the frame itself, sparing the
// sender's wake-up; a send that does not finish at once is left to the sender.
// Other posts are never sent by their caller: a burst of them would pay one
// send each instead of one per batch.
// The reader thread cuts the incoming bytes into frames: a Reply or Error
// wakes the Transact waiting for its id, a Notify goes to the sink.
//
// The link is shared by the connection object and by its threads, so that the
// connection's last release (which may happen inside a notification, on the
// reader thread itself) never waits for a thread: it asks the link to close
// after the queue is sent, and the last thread out frees the link.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "HVMux.h"
#include "common/ComPtr.h"
#include "common/Unique.h"
#include "mux/CMuxMessage.h"
#include "mux/MuxAddress.h"
#include "mux/MuxFrameReader.h"
#include "mux/MuxWire.h"

namespace hv {

class MuxLink : public std::enable_shared_from_this<MuxLink> {
 public:
  // The receiving side of a subscription.
  class PushTarget {
   public:
    virtual ~PushTarget() = default;
    // The items of one Push (after its count), on the link's reader thread.
    virtual void OnPush(uint32_t count, const uint8_t* items, size_t size) = 0;
    // Nothing more comes: the service ended the subscription or the link closed.
    virtual void OnEnded(HRESULT reason, const std::string& text) = 0;
  };

  // The answer to a reading request.
  struct Answer {
    uint16_t kind = 0;
    std::vector<uint8_t> payload;
  };

  // What Post, Transact and Flush answer once the client has disconnected.
  static const HRESULT kNotConnected;
  // A Transact that got no reply in time.
  static const HRESULT kTimedOut;
  // How long connecting and greeting the service may take.
  static constexpr DWORD kConnectTimeoutMs = 5000;
  // How long a closing link waits for the service to close its side.
  static constexpr DWORD kCloseLingerMs = 10000;
  // Encoded bytes that may wait for the sender before Post has to wait.
  static constexpr size_t kQueueLimitBytes = 8u << 20;

  // Connects to the service and greets it; no thread runs yet.
  static HRESULT Open(const MuxAddress& address, ComPtr<IMuxSink> sink, LONG context,
                      std::shared_ptr<MuxLink>* link);
  ~MuxLink();
  MuxLink(const MuxLink&) = delete;
  MuxLink& operator=(const MuxLink&) = delete;

  // Starts the sender and the reader.
  HRESULT Start();

  LONG context() const { return context_; }

  // Queues the message; waits up to timeoutMs only for room in the queue.
  // answerAwaited: the caller waits for the service's answer to it.
  HRESULT Post(CMuxMessage& message, DWORD timeoutMs, bool answerAwaited = false);
  // Queues a "1" message (an item, no answer wanted) whose body is the item
  // stream given, as Post would queue it.
  HRESULT PostItem(const uint8_t* stream, size_t size, DWORD timeoutMs);
  // Sends the request and waits up to timeoutMs (room in the queue included)
  // for its reply.
  HRESULT Transact(CMuxMessage& request, MuxMessageContent* reply, DWORD timeoutMs);
  // Sends a reading request and waits up to timeoutMs for its answer. A
  // refusal is returned as the failure, with the service's words in
  // *refusalText. A subscriber is registered under the number its Subscribed
  // answer carries before any Push behind that answer is read.
  HRESULT Request(wire::FrameKind kind, const std::vector<uint8_t>& payload, Answer* answer,
                  std::string* refusalText, DWORD timeoutMs, std::shared_ptr<PushTarget> subscriber = nullptr);
  // A reading request sent ahead: its answer is taken later with Await, or
  // dropped with Forget.
  struct PendingTransact;
  struct Ticket {
    uint32_t id = 0;
    std::shared_ptr<PendingTransact> pending;
  };
  // Sends a reading request without waiting for its answer.
  HRESULT Begin(wire::FrameKind kind, const std::vector<uint8_t>& payload, DWORD timeoutMs, Ticket* ticket);
  // Waits up to timeoutMs for the answer of a request sent with Begin, and
  // takes it as Request does.
  HRESULT Await(Ticket* ticket, DWORD timeoutMs, Answer* answer, std::string* refusalText);
  // Nobody waits for the answer any more.
  void Forget(Ticket* ticket);
  // Sends a request whose answer nobody waits for.
  HRESULT Send(wire::FrameKind kind, const std::vector<uint8_t>& payload);
  // No Push of the subscription reaches its target any more.
  void DropSubscription(uint32_t number);

  // S_OK once everything posted so far is handed to the socket; S_FALSE when
  // the time ran out first.
  HRESULT Flush(DWORD timeoutMs);
  // Sends what is queued (waiting up to flushTimeoutMs) and closes the link.
  // The sink is not told: the client closed the link itself.
  HRESULT Disconnect(DWORD flushTimeoutMs);
  // No notification starts once this returns; one already running may finish.
  // Never waits.
  void Stop();
  // The client let go of its connection: stop notifying, send what is queued
  // and close, without waiting.
  void Abandon();

  // Calls the sink unless notifications were stopped. The call is made
  // without any lock of the link held.
  void Notify(const std::function<void(IMuxSink*, LONG)>& call);

 public:
  struct PendingTransact {
    bool done = false;
    HRESULT result = S_OK;
    MuxMessageContent reply;  // a Transact's Reply
    Answer answer;            // a reading request's answer
    std::string refusalText;  // an Error's words
    std::shared_ptr<PushTarget> subscriber;
  };

 private:

  MuxLink(SOCKET socket, ComPtr<IMuxSink> sink, LONG context);
  HRESULT Greet(DWORD timeoutMs);
  // Encodes message as one frame at the end of the queue, waiting until
  // deadline for room. id 0: a new one.
  // answerAwaited: on an idle link the calling thread sends the frame itself.
  HRESULT Enqueue(CMuxMessage& message, wire::FrameKind kind, uint32_t id, ULONGLONG deadline,
                  bool answerAwaited);
  // Waits until deadline for room for a frame of payloadSize, then lets
  // append write it with its id at the end of the queue.
  HRESULT EnqueueFrame(size_t payloadSize, uint32_t id, ULONGLONG deadline, bool answerAwaited,
                       const std::function<void(std::vector<uint8_t>*, uint32_t)>& append);
  // A reading request's frame, written as it is, with its id.
  HRESULT EnqueueRequest(wire::FrameKind kind, const std::vector<uint8_t>& payload, uint32_t id, ULONGLONG deadline,
                         bool answerAwaited);
  // Registers a waiter for an answer under a new frame id.
  HRESULT Register(const std::shared_ptr<PendingTransact>& pending, uint32_t* id);
  // Registers a waiter under a new frame id, lets enqueue send the frame with
  // that id and waits until deadline for the answer.
  HRESULT Exchange(const std::shared_ptr<PendingTransact>& pending, ULONGLONG deadline,
                   const std::function<HRESULT(uint32_t)>& enqueue);
  // Tells every subscription that the link is gone.
  void EndSubscriptions(HRESULT reason);
  uint32_t NextFrameId();
  // One overlapped send or receive, ended early by Close (with the close
  // reason as its result).
  HRESULT Transfer(bool sending, uint8_t* data, size_t size, size_t* transferred);
  // Waits for an overlapped transfer that did not complete at once.
  HRESULT FinishTransfer(OVERLAPPED* overlapped, size_t* transferred);
  HRESULT SendUnlessStopped(const uint8_t* data, size_t size);
  // By a poster that took the send side with its frame in batch_: sends it,
  // or hands what is left to the sender when the send does not finish at once.
  void SendTaken();
  // Waits for the pending send of batch_, if any, then sends what is left.
  HRESULT FinishBatch();
  // By whoever holds the send side, once batch_ is sent or the send failed.
  void EndSend(HRESULT hr);
  HRESULT ReceiveUnlessStopped(uint8_t* buffer, size_t size, size_t* received);
  void SendLoop();
  void ReadLoop();
  void Dispatch(uint16_t kind, uint32_t id, const uint8_t* payload, size_t size);
  // Under mutex_: a send waited its whole time-out for room, so the service
  // is known to have stopped reading; and the sender got bytes through again.
  void NoteStalled();
  void NoteSendProgress();
  // Marks the link closed with reason (the first reason stays) and wakes
  // every waiter and both threads. local: the client closed it.
  void Close(HRESULT reason, bool local);

  const SOCKET socket_;
  const LONG context_;
  unique_handle stopEvent_;  // set by Close: the threads' transfers end
  unique_handle sendDone_;
  unique_handle receiveDone_;
  MuxFrameReader frames_;  // used by the greeting, then by the reader thread only
  uint32_t maxPayload_ = 0;

  std::mutex mutex_;
  std::condition_variable sendWork_;    // the sender: frames queued, or closing
  std::condition_variable queueState_;  // posters and flushers: room made, bytes sent, closed
  std::condition_variable replies_;     // transacts: a reply came, or closed
  std::vector<uint8_t> queue_;
  bool senderSleeping_ = false;  // the sender waits for sendWork_
  // The send side of the socket, held by the sender or by a poster sending its
  // own frame on an idle link; the holder alone uses the members after it.
  bool sending_ = false;
  bool sendHandedOver_ = false;  // a poster's send goes on: the sender finishes it
  std::vector<uint8_t> batch_;   // the frames being sent
  uint64_t batchEnd_ = 0;        // framesQueued_ when they were taken
  size_t batchSent_ = 0;         // their bytes handed to the socket so far
  OVERLAPPED sendOverlapped_ = {};
  bool sendPending_ = false;     // a send on sendOverlapped_ has not completed
  uint64_t framesQueued_ = 0;    // every frame ever queued
  uint64_t framesSent_ = 0;      // every frame handed to the socket
  uint32_t nextFrameId_ = 0;
  std::map<uint32_t, std::shared_ptr<PendingTransact>> transacts_;
  // Requests sent by Send: their answers are dropped.
  std::set<uint32_t> unwaitedAnswers_;
  // Held weakly: a subscription ends when its client lets go of it.
  std::map<uint32_t, std::weak_ptr<PushTarget>> subscriptions_;
  bool closing_ = false;  // close once the queue is sent
  // The service stopped reading: sends take room that is free and fail at
  // once otherwise, until the sender gets bytes through again.
  bool stalled_ = false;
  bool closed_ = false;
  bool closedLocally_ = false;
  HRESULT closeReason_ = S_OK;
  HRESULT refusal_ = S_OK;  // the service's reason when it refused the link itself
  DWORD readerThreadId_ = 0;

  std::mutex notifyMutex_;
  ComPtr<IMuxSink> sink_;
  bool stopped_ = false;
};

}  // namespace hv
