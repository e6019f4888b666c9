#include "tables/passwords.h"

#include <atomic>
#include <deque>
#include <memory>
#include <utility>

#include "core/platform.h"

namespace {

// Each password tried costs a run of 7-Zip: only the latest few are.
const size_t kTried = 8;
// Archives are remembered by identity; the oldest go first beyond these.
const size_t kArchives = 1024;

typedef std::shared_ptr<const Secret> Password;

struct Store {
    platform::Lock lock;  // over what follows
    std::deque<std::pair<FileIdentity, Password>> opened;
    std::deque<Password> given;  // the latest first, each once
    std::deque<FileIdentity> refused;
    platform::Lock asking;  // one question at a time
};

Store& store() {
    static Store s;
    return s;
}

std::atomic<PasswordAsker> installed_asker{nullptr};

template <class T>
void push_bounded(std::deque<T>& list, T item, size_t most) {
    list.push_front(std::move(item));
    if (list.size() > most) list.pop_back();
}

bool is_refused(const FileIdentity& id) {
    Store& s = store();
    platform::LockGuard guard(s.lock);
    for (const FileIdentity& r : s.refused)
        if (r == id) return true;
    return false;
}

void refuse(const FileIdentity& id) {
    Store& s = store();
    platform::LockGuard guard(s.lock);
    push_bounded(s.refused, id, kArchives);
}

std::deque<Password> given_so_far() {
    Store& s = store();
    platform::LockGuard guard(s.lock);
    return s.given;
}

// The password opened the archive: it serves its later runs, and is tried
// first on the next archive that asks.
void remember(const FileIdentity& id, const Password& password) {
    Store& s = store();
    platform::LockGuard guard(s.lock);
    for (auto o = s.opened.begin(); o != s.opened.end(); ++o)
        if (o->first == id) {
            s.opened.erase(o);
            break;
        }
    push_bounded(s.opened, std::make_pair(id, password), kArchives);
    for (auto g = s.given.begin(); g != s.given.end(); ++g)
        if ((*g)->same_as(*password)) {
            s.given.erase(g);
            break;
        }
    push_bounded(s.given, password, kTried);
}

// The verdict of a test that got past the password: only a password that
// passed the test is remembered.
Verdict settled(Setup& setup, const FileIdentity& id, Verdict verdict) {
    if (verdict == Verdict::kYes) remember(id, setup.password);
    if (verdict != Verdict::kYes) setup.password.reset();
    return verdict;
}

}  // namespace

void set_password_asker(PasswordAsker asker) { installed_asker = asker; }

void recall_password(Setup& setup, const FileIdentity& id) {
    Store& s = store();
    platform::LockGuard guard(s.lock);
    for (const auto& o : s.opened)
        if (o.first == id) setup.password = o.second;
}

Verdict test_unlocking(Setup& setup, const wchar16* archive, const FileIdentity* id) {
    Verdict verdict = test_archive(setup, archive);
    if (verdict != Verdict::kLocked) return verdict;
    setup.password.reset();
    if (!id || is_refused(*id)) return Verdict::kNotAsked;

    platform::LockGuard one_question(store().asking);
    for (const Password& p : given_so_far()) {
        setup.password = p;
        verdict = test_archive(setup, archive);
        if (verdict != Verdict::kLocked) return settled(setup, *id, verdict);
    }
    setup.password.reset();
    // Asked meanwhile by another caller and cancelled: not asked again.
    PasswordAsker ask = installed_asker;
    if (!ask || setup.settings.askPassword == 0 || is_refused(*id)) return Verdict::kNotAsked;
    for (bool wrong = false;; wrong = true) {
        auto typed = std::make_shared<Secret>();
        Asked answer = ask(archive, wrong, *typed);
        if (answer != Asked::kGiven) {
            if (answer == Asked::kCancelled) refuse(*id);
            return Verdict::kNotAsked;
        }
        setup.password = std::move(typed);
        verdict = test_archive(setup, archive);
        if (verdict != Verdict::kLocked) return settled(setup, *id, verdict);
        setup.password.reset();
    }
}
