"""The parts of RedisStore, one job each.

connections    how a store reaches Redis: one server, or a cluster through any
               node it has seen; what each server does with its keys
               (ServerSettings)
scripts        the Lua scripts beside this file (ban_write, ban_head,
               ban_read, budget, admit, escalate), read once, run by digest
errors         what "Redis is unreachable" looks like
bans           ban keys and ban writes (one atomic script per batch), the
               change log read back, the set read in pages
nonces         nonce writes, an event loop's sent together; the tokens a
               process keeps and counts for when Redis is away
outage         what a process decided while Redis was away, until written
fleet          the fleet's counts and heartbeats
process        what one process holds (clients, listener, outage queue),
               and what its listener reports to (Owner)
sync           the replica kept in step with the ban set and its change log
listener       the ban listener: subscription and its health, reporting
               what it sees to the process's life
life           one process's life with Redis: start, loss, refusal, lost
               state, the backlog written when Redis is back, heartbeat
shared_nonces  nonces as the store offers them (native cache, then Redis)
shared_bans    bans as the store offers them (replica, changes written)
levels         budgets, suspicion levels, notes and remembered values
readings       health, stats, the fleet's counts and heartbeats read back

RedisStore puts them together; redis_view reads Redis for the
command line without a store.
"""
