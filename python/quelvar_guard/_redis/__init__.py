"""The parts of RedisStore, one job each.

connections  how a store reaches Redis: one server, or a cluster through any node
scripts      the Lua scripts beside this file, read once, run by their digest
bans         ban keys and ban writes (one atomic script per batch)
listener     the ban listener: subscription, ordered changes, resync
outage       what a process decided while Redis was away, until it is written
nonces       nonce writes

redis_store.RedisStore puts them together and holds the per-process state.
"""
