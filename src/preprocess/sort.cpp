// sort.cpp: small in-place sorts used by the reorderings (Hoare's quicksort).
//
// qqsorti    ascending sort of x[0..n-1]; the first element of a range is its pivot (the median
//            of first, middle and last is moved there first, so sorted rows cost n log n), the
//            larger part waits on an explicit stack while the smaller one is sorted.
//            Work: stack, max(n, 2) ints (at most 2 log2(n) are used).
// dqsortr2i  descending sort of x[lo..hi] (0-based, inclusive) that moves i1 and i2 along: the
//            middle element is swapped to the front as pivot, elements strictly greater move to
//            its left; the smaller part is sorted by recursion, the larger one by the loop (so
//            the depth stays below log2(hi-lo+1)).
// dswapm, swapj  exchange x[i] and x[j].
#include "preprocess/preprocess.h"

void dswapm(double* x, int i, int j) {
    const double t = x[i];
    x[i]           = x[j];
    x[j]           = t;
}

void swapj(int* x, int i, int j) {
    const int t = x[i];
    x[i]        = x[j];
    x[j]        = t;
}

void qqsorti(int* x, int* stack, int n) {
    int top = 0;  // entries on the stack (two per pending range)
    int lo  = 0;
    int hi  = n - 1;
    for (;;) {
        while (hi - lo >= 1) {
            if (hi - lo >= 2) {
                // Median of x[lo], x[mid], x[hi] to the front.
                const int mid = lo + (hi - lo) / 2;
                if (x[mid] < x[lo]) {
                    swapj(x, mid, lo);
                }
                if (x[hi] < x[lo]) {
                    swapj(x, hi, lo);
                }
                if (x[hi] < x[mid]) {
                    swapj(x, hi, mid);
                }
                swapj(x, lo, mid);
            }
            const int pivot = x[lo];
            int i           = lo;
            int j           = hi + 1;
            for (;;) {
                do {
                    ++i;
                } while (i <= hi && x[i] < pivot);
                do {
                    --j;
                } while (x[j] > pivot);
                if (i >= j) {
                    break;
                }
                swapj(x, i, j);
            }
            swapj(x, lo, j);
            // x[lo..j-1] <= pivot = x[j] <= x[j+1..hi].
            if (j - lo < hi - j) {
                if (hi - (j + 1) >= 1) {
                    stack[top++] = j + 1;
                    stack[top++] = hi;
                }
                hi = j - 1;
            } else {
                if ((j - 1) - lo >= 1) {
                    stack[top++] = lo;
                    stack[top++] = j - 1;
                }
                lo = j + 1;
            }
        }
        if (top == 0) {
            return;
        }
        hi = stack[--top];
        lo = stack[--top];
    }
}

void dqsortr2i(double* x, int* i1, int* i2, int lo, int hi) {
    auto swap3 = [&](int a, int b) {
        dswapm(x, a, b);
        swapj(i1, a, b);
        swapj(i2, a, b);
    };
    while (lo < hi) {
        swap3(lo, lo + (hi - lo) / 2);
        int last = lo;
        for (int i = lo + 1; i <= hi; ++i) {
            if (x[i] > x[lo]) {
                swap3(++last, i);
            }
        }
        swap3(lo, last);
        // x[lo..last-1] > x[last] >= x[last+1..hi].
        if (last - lo < hi - last) {
            dqsortr2i(x, i1, i2, lo, last - 1);
            lo = last + 1;
        } else {
            dqsortr2i(x, i1, i2, last + 1, hi);
            hi = last - 1;
        }
    }
}
