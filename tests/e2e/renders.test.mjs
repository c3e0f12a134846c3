// A person starts Fernhollow in a folder holding a wiki page, opens the list
// of wikis at /tiddly, follows the link, and the wiki comes up.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';
import {
    screenshot, siteTitle, startWikiSite, waitForWiki, watchPage, welcomeText, welcomeTitle, wikiFileName,
} from './support.mjs';

describe('a wiki page served by Fernhollow', { timeout: 180000 }, () => {
    let site;
    let server;
    let browser;

    before(async () => {
        site = await startWikiSite();
        ({ server, browser } = site);
        // A page of another name must not be listed as a wiki.
        fs.writeFileSync(path.join(site.root, 'notes.html'), '<!DOCTYPE html><p>not a wiki</p>');
    });

    after(async () => {
        await site?.close();
    });

    it('renders: /tiddly links to the page, and the page shows the wiki', async () => {
        const context = await browser.newContext();
        const list = await context.newPage();
        const response = await list.goto(`${server.origin}/tiddly`);
        assert.equal(response.status(), 200);
        assert.equal(response.headers()['content-type'], 'text/html');

        // One row: the wiki's own title links to it, its file name beside it.
        const links = list.locator('td:first-child a');
        assert.equal(await links.count(), 1, await list.content());
        const link = links.first();
        assert.match(await link.textContent(), new RegExp(`^${siteTitle}`));
        assert.equal(await list.locator('td:nth-child(2)').first().textContent(), wikiFileName);
        await screenshot(list, 'list.png');
        assert.equal(await link.getAttribute('href'), `./${wikiFileName}`);
        assert.equal(await link.getAttribute('target'), '_blank');

        // The link opens the wiki in a new tab.
        const [wiki] = await Promise.all([context.waitForEvent('page'), link.click()]);
        const seen = watchPage(wiki);
        await waitForWiki(wiki);
        assert.equal(wiki.url(), `${server.origin}/${wikiFileName}`);
        assert.match(await wiki.title(), new RegExp(`^${siteTitle}`));
        assert.equal((await wiki.locator('.tc-site-title').first().textContent()).trim(), siteTitle);

        // The default story shows the welcome tiddler, its non-ASCII text intact.
        const frame = wiki.locator(`.tc-story-river .tc-tiddler-frame[data-tiddler-title="${welcomeTitle}"]`);
        await frame.waitFor();
        assert.equal((await frame.locator('.tc-tiddler-body').textContent()).trim(), welcomeText);
        assert.deepEqual(seen.errors, []);

        await screenshot(wiki, 'renders.png');
        await context.close();
    });
});
