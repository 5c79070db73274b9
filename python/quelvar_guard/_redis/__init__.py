"""The parts of RedisStore, one job each.

connections  how a store reaches Redis: one server, or a cluster through any
             node it has seen; what each server does with its keys
scripts      the Lua scripts beside this file (ban_write, ban_head, ban_read),
             read once, run by their digest
bans         ban keys and ban writes (one atomic script per batch), the
             change log read back, the set read in pages
listener     the ban listener: subscription and its health, ordered changes
             from the log, reloads
outage       what a process decided while Redis was away, until it is written
nonces       nonce writes, an event loop's sent together; the tokens a
             process keeps for when Redis is away
errors       what "Redis is unreachable" looks like

redis_store.RedisStore puts them together and holds the per-process state.
"""
