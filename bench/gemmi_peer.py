"""The peer of a whole vortan run: the same structure searched with gemmi's
NeighborSearch, every distance up to DMAX and every angle between the
neighbours within DAGL of each atom, written one line each (no standard
deviations). Run with the system python and Debian's python3-gemmi:

    /usr/bin/python3 bench/gemmi_peer.py STRUCTURE.txt OUTPUT.txt
    /usr/bin/python3 bench/gemmi_peer.py --search-only STRUCTURE.txt

--search-only does the bare neighbour search alone (the grid filled and
every atom's neighbours up to DMAX found, nothing written) and prints its
own CPU time.

STRUCTURE.txt: "cell a b c alpha beta gamma", "group HM-symbol",
"limits DMAX DAGL", then one "label x y z" line per atom.
"""
import math
import sys

import gemmi


def read_structure(path):
    small = gemmi.SmallStructure()
    dmax = dagl = 0.0
    with open(path) as f:
        for line in f:
            words = line.split()
            if words[0] == 'cell':
                small.cell = gemmi.UnitCell(*map(float, words[1:7]))
            elif words[0] == 'group':
                small.spacegroup_hm = ' '.join(words[1:])
            elif words[0] == 'limits':
                dmax, dagl = float(words[1]), float(words[2])
            else:
                site = gemmi.SmallStructure.Site()
                site.label = words[0]
                site.fract = gemmi.Fractional(*map(float, words[1:4]))
                small.add_site(site)
    small.setup_cell_images()
    return small, dmax, dagl


def main(structure_path, output_path):
    small, dmax, dagl = read_structure(structure_path)
    cell = small.cell
    ns = gemmi.NeighborSearch(small, dmax).populate()
    sites = small.sites
    out = []
    for site in sites:
        here = cell.orthogonalize(site.fract)
        neighbours = []
        for mark in ns.find_site_neighbors(site, min_dist=0.01, max_dist=dmax):
            other = mark.to_site(small)
            image = cell.find_nearest_image(here, mark.pos(), gemmi.Asu.Any)
            d = image.dist()
            out.append('%8s_%-8s %10.5f %4d %3d %3d %3d' % (
                site.label, other.label, d, image.sym_idx, *image.pbc_shift))
            if d <= dagl:
                # The neighbour's position as the image that lies nearest.
                position = cell.find_nearest_pbc_position(here, mark.pos(), image.sym_idx)
                neighbours.append((other.label, position - here, d))
        for m1 in range(len(neighbours) - 1):
            label1, v1, d1 = neighbours[m1]
            for m2 in range(m1 + 1, len(neighbours)):
                label2, v2, d2 = neighbours[m2]
                cosine = max(-1.0, min(1.0, v1.dot(v2) / (d1 * d2)))
                out.append('%8s_%s_%-8s %9.2f' % (label1, site.label, label2, math.degrees(math.acos(cosine))))
    with open(output_path, 'w') as f:
        f.write('\n'.join(out))
        f.write('\n')


def search_only(structure_path):
    import time
    start = time.process_time()
    small, dmax, _ = read_structure(structure_path)
    ns = gemmi.NeighborSearch(small, dmax).populate()
    found = 0
    for site in small.sites:
        found += len(ns.find_site_neighbors(site, min_dist=0.01, max_dist=dmax))
    print('%d neighbours, %.4f s of CPU' % (found, time.process_time() - start))


if __name__ == '__main__':
    if sys.argv[1] == '--search-only':
        search_only(sys.argv[2])
    else:
        main(sys.argv[1], sys.argv[2])
