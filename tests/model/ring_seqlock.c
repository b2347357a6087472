/*
 * ring_seqlock.c - a GenMC model of one channel of the media ring: the put
 * (media_ring/src/ring_writer.cpp) and the readers' searches, next-frame
 * walk and read-out (ring_search.cpp, ring_next.cpp, ring_readout.{h,cpp}),
 * with the descriptor generation (a seqlock) and every memory order as the
 * code has them.  Each function below mirrors the code's function of the
 * same name, store for store and load for load; where the code changes, this
 * file changes with it.
 *
 * Scaled down: NBD descriptors, a region of R bytes, a slot header of H
 * bytes, a slot reckoned L + H + 4 for room, payloads of L bytes.  Every
 * shared word is an atomic: publish()/observe() are release/acquire;
 * load_relaxed/store_relaxed, memcpy/memset and the plain field stores are
 * relaxed (single-copy atomic per field, per byte, as on ARM).
 * Frame n (1..NPUTS) has every payload byte == n and ts == seq == frameType
 * == aux == n (aux stands for width, height, sec and aux, which no re-check
 * compares).
 *
 * Asserted on every frame a reader returns with 0 (the API's contract):
 *   CHECK 1  the bytes are one frame's;
 *         2  + they are the frame the returned FrameInfo describes;
 *         3  + the FrameInfo is one whole live record (default).
 *
 * Knobs (-D):  NBD (3)  R (24)  NPUTS (3)  NREADS (1)  CHECK (3)
 *   READER 0 oldest-first search, 1 newest-first search, 2 oldest search
 *          then NREADS-1 next-frame walks
 *   OLD_WRITER        a producer built before the generation (never moves it)
 *   NO_BEGIN_FENCE    drop the release fence in begin_change
 *   NO_ACQ_FENCE      drop the reader's acquire fence after the copy
 *   NO_GEN_RECHECK    drop the generation from the re-check
 * (the last three must each fail: they show the model can see the fault).
 */
#include <stdlib.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <assert.h>

#ifndef NBD
#define NBD 3
#endif
#ifndef R
#define R 24
#endif
#ifndef NPUTS
#define NPUTS 3
#endif
#ifndef NREADS
#define NREADS 1
#endif
#ifndef READER
#define READER 0
#endif
#ifndef CHECK
#define CHECK 3
#endif
#define H 4            /* kSlotHeader (64) */
#define RECKON (H + 4) /* kSlotReckon (68) */
#define L 2            /* payload length of every frame */
#define MINF 1         /* kReadMinFrame (5) */
#define MAXF 8         /* kReadMaxFrame */
#define BUFSZ 8

#define rlx memory_order_relaxed
#define rel memory_order_release
#define acq memory_order_acquire
#define LD(p) atomic_load_explicit((p), rlx)
#define ST(p, v) atomic_store_explicit((p), (v), rlx)

struct bd {
	atomic_uchar valid;
	atomic_ushort generation;
	atomic_uint shm_offset;
	/* FrameInfo, in layout order */
	atomic_uint framesize;
	atomic_uint ts;
	atomic_uchar frameType;
	atomic_ushort seq;
	atomic_uint aux;
};

atomic_ushort lastBDIndex, curBDIndex;
atomic_uint writeOffset;
struct bd bd[NBD];
atomic_uchar region[R];

static unsigned next_index(unsigned i) { return i + 1 == NBD ? 0 : i + 1; }
static unsigned prev_index(unsigned i) { return i == 0 ? NBD - 1 : i - 1; }

/* ---------------- writer (ring_writer.cpp) ---------------- */

static unsigned begin_change(struct bd *d)
{
#ifdef OLD_WRITER
	return 0;
#else
	unsigned g = (LD(&d->generation) | 1u) & 0xffff;      /* load_relaxed | 1 */
	ST(&d->generation, g);                                 /* store_relaxed */
#ifndef NO_BEGIN_FENCE
	atomic_thread_fence(rel);
#endif
	return g;
#endif
}

static void end_change(struct bd *d, unsigned odd)
{
#ifndef OLD_WRITER
	atomic_store_explicit(&d->generation, (odd + 1) & 0xffff, rel);  /* publish */
#endif
}

static void clear_descriptor(struct bd *d)
{
	unsigned g = begin_change(d);
	ST(&d->valid, 0);          /* store_relaxed(d.valid, 0) */
	                           /* d.isVideo = 0: no reader here reads it */
	ST(&d->shm_offset, 0);     /* memset from shm_offset on, in byte order */
	ST(&d->framesize, 0);
	ST(&d->ts, 0);
	ST(&d->frameType, 0);
	ST(&d->seq, 0);
	ST(&d->aux, 0);
	end_change(d, g);
}

static unsigned evict(unsigned lo, unsigned hi, unsigned i, unsigned fill, bool *evicted)
{
	while (i != fill) {
		struct bd *d = &bd[i];
		if (LD(&d->valid) != 1) break;
		unsigned off = LD(&d->shm_offset);
		unsigned size = LD(&d->framesize);
		if (off + size <= lo) break;
		if (hi <= off) break;
		unsigned next = next_index(i);
		atomic_store_explicit(&lastBDIndex, next, rel);   /* publish */
		clear_descriptor(d);
		*evicted = true;
		i = next;
	}
	return i;
}

static void put(unsigned n)
{
	unsigned w = LD(&writeOffset);
	unsigned fill = LD(&curBDIndex);
	unsigned oldest = LD(&lastBDIndex);
	bool evicted = false;
	if (w + L + RECKON > R) {
		oldest = evict(w, w + L + RECKON, oldest, fill, &evicted);
		w = 0;
	}
	oldest = evict(w, w + L + RECKON, oldest, fill, &evicted);
	if (evicted) atomic_thread_fence(rel);

	struct bd *d = &bd[fill];
	for (unsigned k = 0; k < L; k++)                       /* memcpy payload */
		ST(&region[w + H + k], n);

	ST(&d->framesize, L);      /* memcpy(&d.info, info) */
	ST(&d->ts, n);
	ST(&d->frameType, n);
	ST(&d->seq, n);
	ST(&d->aux, n);
	ST(&d->shm_offset, w + H); /* (framesize = length: same value, omitted;
	                              isVideo and newestIFrameTs: no reader here reads them) */
	atomic_store_explicit(&d->valid, 1, rel);              /* publish(valid, 1) */

	unsigned next_w = (w + H + L + 3) & ~3u;
	atomic_store_explicit(&writeOffset, next_w, rel);      /* publish */
	unsigned next_fill = next_index(fill);
	atomic_store_explicit(&curBDIndex, next_fill, rel);    /* publish */

	if (oldest == next_fill) {                             /* full table */
		clear_descriptor(&bd[next_fill]);
		atomic_thread_fence(rel);
		oldest = next_index(next_fill);
		atomic_store_explicit(&lastBDIndex, oldest, rel);
	}
}

void *writer(void *arg)
{
	for (unsigned n = 1; n <= NPUTS; n++)
		put(n);
	return NULL;
}

/* ---------------- readers (ring_readout / ring_search / ring_next) ---------------- */

struct cand { unsigned index, generation, shm_offset, framesize, ts, seq, frameType; };

static bool load_candidate(unsigned i, struct cand *c)
{
	struct bd *d = &bd[i];
	unsigned g = atomic_load_explicit(&d->generation, acq);  /* observe */
	if (g & 1u) return false;
	if (atomic_load_explicit(&d->valid, acq) != 1) return false;  /* observe */
	c->index = i;
	c->generation = g;
	c->shm_offset = LD(&d->shm_offset);
	c->framesize = LD(&d->framesize);
	c->ts = LD(&d->ts);
	c->seq = LD(&d->seq);
	c->frameType = LD(&d->frameType);
	return true;
}

static unsigned wait_read_size(unsigned shm_offset)
{
	unsigned w = atomic_load_explicit(&writeOffset, acq);         /* observe */
	return (w + R - shm_offset) % R;
}

struct result { int rc; unsigned char buf[BUFSZ];
                unsigned len, i_size, i_ts, i_type, i_seq, i_aux, index; };

enum { READ, REFUSED, DAMAGED, RACED };

static int read_out(const struct cand *c, struct result *res)
{
	if (c->shm_offset >= R) return DAMAGED;
	if (c->framesize > MAXF || c->framesize < MINF || c->framesize > BUFSZ) return REFUSED;
	if (c->shm_offset + c->framesize >= R) return DAMAGED;
	struct bd *d = &bd[c->index];
	for (unsigned k = 0; k < c->framesize; k++)          /* memcpy payload */
		res->buf[k] = LD(&region[c->shm_offset + k]);
	res->i_size = LD(&d->framesize);                     /* memcpy(info, &d.info) */
	res->i_ts = LD(&d->ts);
	res->i_type = LD(&d->frameType);
	res->i_seq = LD(&d->seq);
	res->i_aux = LD(&d->aux);
#ifndef NO_ACQ_FENCE
	atomic_thread_fence(acq);
#endif
	bool same =
#ifndef NO_GEN_RECHECK
		LD(&d->generation) == c->generation &&
#endif
		LD(&d->valid) == 1 &&
		LD(&d->shm_offset) == c->shm_offset &&
		LD(&d->framesize) == c->framesize &&
		LD(&d->ts) == c->ts && LD(&d->seq) == c->seq;
	if (!same) return RACED;
	res->len = c->framesize;
	res->index = c->index;
	return READ;
}

static bool enter_reader(unsigned *last, unsigned *cur)
{
	unsigned l = atomic_load_explicit(&lastBDIndex, acq);
	unsigned c = atomic_load_explicit(&curBDIndex, acq);
	if (l == c) return false;
	*last = l; *cur = c;
	return true;
}

static int search_oldest(struct result *res)
{
	unsigned last, cur;
	if (!enter_reader(&last, &cur)) return -1;
	unsigned i = last, cnt = 0;
	for (;;) {
		cur = atomic_load_explicit(&curBDIndex, acq);
		if (i == cur) break;
		struct cand c;
		if (load_candidate(i, &c)) {               /* MEDIA_FRAME_ANY matches */
			if (wait_read_size(c.shm_offset) <= R / 2)
				return read_out(&c, res) == READ ? 0 : -1;
		}
		i = next_index(i);
		if (++cnt > NBD - 1) return -1;
	}
	atomic_load_explicit(&lastBDIndex, acq);
	return -1;
}

static int search_newest(struct result *res)   /* walk_newest + read_out */
{
	unsigned last, cur;
	if (!enter_reader(&last, &cur)) return -1;
	unsigned i = prev_index(cur), cnt = 0;
	for (;;) {
		struct cand c;
		if (load_candidate(i, &c)) {
			if (wait_read_size(c.shm_offset) <= R / 2)
				return read_out(&c, res) == READ ? 0 : -1;
		}
		last = atomic_load_explicit(&lastBDIndex, acq);
		if (i == last) break;
		i = prev_index(i);
		if (++cnt > NBD - 1) return -1;
	}
	return -1;
}

static int next_walk(int position, struct result *res)
{
	unsigned last, cur;
	if (!enter_reader(&last, &cur)) return -1;
	unsigned i = (unsigned)position % NBD, cnt = 0;
	for (;;) {
		cur = atomic_load_explicit(&curBDIndex, acq);
		if (i == cur) break;
		i = next_index(i);
		struct cand c;
		if (!load_candidate(i, &c)) {
			if (++cnt > NBD - 1) return -1;
			continue;
		}
		unsigned wait = i == cur ? ((c.shm_offset + c.framesize + 3) & ~3u) - c.shm_offset
		                         : wait_read_size(c.shm_offset);
		if (wait > R / 2)
			return -2;   /* the catch-up: a newest-first search, modelled above */
		/* a raced or damaged frame fails (where the cursor then goes
		   hands back no bytes) */
		return read_out(&c, res) == READ ? 0 : -1;
	}
	atomic_load_explicit(&lastBDIndex, acq);
	return -1;
}

static void check(const struct result *r)
{
	if (r->rc != 0) return;
	for (unsigned k = 0; k < r->len; k++)
		assert(r->buf[k] == r->buf[0]);                 /* one frame's bytes */
#if CHECK >= 2
	assert(r->buf[0] == r->i_ts);                           /* the frame the info names */
#endif
#if CHECK >= 3
	assert(r->i_ts != 0 && r->i_size == L &&                /* one whole live record */
	       r->i_ts == r->i_seq && r->i_ts == r->i_type && r->i_ts == r->i_aux);
#endif
}

void *reader(void *arg)
{
	int pos = 0;
	for (int k = 0; k < NREADS; k++) {
		struct result r = {0};
#if READER == 0
		r.rc = search_oldest(&r);
#elif READER == 1
		r.rc = search_newest(&r);
#else
		r.rc = k == 0 ? search_oldest(&r) : next_walk(pos, &r);
#endif
		check(&r);
		if (r.rc == 0) pos = r.index;
	}
	return NULL;
}

int main()
{
	pthread_t t1, t2;
	if (pthread_create(&t1, NULL, writer, NULL)) abort();
	if (pthread_create(&t2, NULL, reader, NULL)) abort();
	return 0;
}
