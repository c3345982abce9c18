#include "tools/smdgw/http/line_queue.h"

namespace smdgw::http {

std::shared_ptr<LineQueue::Job> LineQueue::submit(const std::string& device, int code,
                                                  std::vector<unsigned char> request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= max_jobs_) return nullptr;
    auto job = std::make_shared<Job>();
    job->device = device;
    job->code = code;
    job->request = std::move(request);
    jobs_.push_back(job);
    pending_ = true;
    return job;
}

std::shared_ptr<LineQueue::Job> LineQueue::submit_action(const std::string& device,
                                                         Json::Value action) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= max_jobs_) return nullptr;
    auto job = std::make_shared<Job>();
    job->device = device;
    job->action = std::move(action);
    jobs_.push_back(job);
    pending_ = true;
    return job;
}

bool LineQueue::wait(const std::shared_ptr<Job>& job, std::chrono::milliseconds timeout,
                     Json::Value& result) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_for(lock, timeout, [&] { return job->stage != Job::Stage::Queued; });
    if (job->stage == Job::Stage::Queued) {
        job->stage = Job::Stage::Withdrawn;
        return false;
    }
    done_.wait(lock, [&] { return job->stage == Job::Stage::Done; });
    result = job->result;
    return true;
}

void LineQueue::note(const std::string& device, Json::Value line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(device, std::move(line));
    pending_ = true;
}

void LineQueue::drain(const Runner& run, const Writer& write, const Busy& busy,
                      const Actor& act) {
    if (!pending_.load()) return;
    for (;;) {
        std::shared_ptr<Job> job;
        std::pair<std::string, Json::Value> line;
        bool have_line = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!lines_.empty()) {
                line = std::move(lines_.front());
                lines_.pop_front();
                have_line = true;
            } else {
                // Withdrawn jobs go; jobs of a busy device stay, in their order.
                bool waiting = false;
                for (auto it = jobs_.begin(); it != jobs_.end() && !job;) {
                    if ((*it)->stage == Job::Stage::Withdrawn) {
                        it = jobs_.erase(it);
                    } else if (busy && busy((*it)->device)) {
                        waiting = true;
                        ++it;
                    } else {
                        job = *it;
                        jobs_.erase(it);
                    }
                }
                if (!job) {
                    pending_ = waiting;
                    return;
                }
                job->stage = Job::Stage::Running;
            }
        }
        if (have_line) {
            write(line.first, std::move(line.second));
            continue;
        }
        Json::Value result;
        if (job->action.isNull())
            result = run(job->device, job->code, job->request);
        else if (act)
            result = act(job->device, job->action);
        else
            result["error"] = "alarm actions are not taken here";
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->result = std::move(result);
            job->stage = Job::Stage::Done;
        }
        done_.notify_all();
    }
}

}  // namespace smdgw::http
